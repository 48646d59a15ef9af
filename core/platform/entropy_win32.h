// Windows only: the two ways the entropy source reaches the system, laid open
// so tests can exercise each and report which one the engine uses.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform/entropy.h"

namespace zentrova::core::platform::win32 {

// ProcessPrng of bcryptprimitives.dll (BOOL WINAPI (PBYTE, SIZE_T)); the
// MinGW headers do not declare it, so it is found at run time.
using ProcessPrngFn = int(__stdcall*)(unsigned char* data, std::size_t size);

// The system's ProcessPrng, or nullptr where the system has none (Windows
// before 10, Wine 8). Looked up once; the library stays loaded for good.
ProcessPrngFn find_process_prng();

// One fill through the given ProcessPrng. Its only failure text is
// "unexpected situation": the function is documented never to fail.
std::optional<std::string> fill_with_process_prng(ProcessPrngFn process_prng, EntropyKey& key);

// One fill through BCryptGenRandom with the system-preferred generator.
std::optional<std::string> fill_with_bcrypt(EntropyKey& key);

// The source os_entropy() uses: "ProcessPrng" or "BCryptGenRandom".
std::string_view os_entropy_source_name();

}  // namespace zentrova::core::platform::win32
