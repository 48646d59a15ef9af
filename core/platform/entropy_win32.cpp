// Windows: ProcessPrng, the generator the system itself keys per process, and
// where the system lacks it BCryptGenRandom with the system-preferred
// generator. Which one is decided once, at the first use.
#include <windows.h>
// After windows.h, which defines the types it uses.
#include <bcrypt.h>

#include <cstdio>
#include <type_traits>

#include "core/platform/entropy.h"
#include "core/platform/entropy_win32.h"

namespace zentrova::core::platform {
namespace win32 {

static_assert(std::is_same_v<SIZE_T, std::size_t> && std::is_same_v<BOOL, int> &&
                  std::is_same_v<PBYTE, unsigned char*>,
              "ProcessPrngFn must match BOOL WINAPI ProcessPrng(PBYTE, SIZE_T)");

ProcessPrngFn find_process_prng() {
  static const ProcessPrngFn found = [] () -> ProcessPrngFn {
    // From the system directory only, so a planted DLL of that name beside the
    // program or in the working directory is never loaded.
    HMODULE library =
        LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) return nullptr;
    FARPROC proc = GetProcAddress(library, "ProcessPrng");
    if (proc == nullptr) {
      FreeLibrary(library);
      return nullptr;
    }
    // The library is never freed: the pointer is used for the life of the process.
    return reinterpret_cast<ProcessPrngFn>(reinterpret_cast<void (*)()>(proc));
  }();
  return found;
}

std::optional<std::string> fill_with_process_prng(ProcessPrngFn process_prng, EntropyKey& key) {
  if (process_prng(key.data(), key.size()) == FALSE) return std::string("unexpected situation");
  return std::nullopt;
}

std::optional<std::string> fill_with_bcrypt(EntropyKey& key) {
  const NTSTATUS status = BCryptGenRandom(nullptr, key.data(), static_cast<ULONG>(key.size()),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  // Any status below zero is an error; zero and above are success codes.
  if (status >= 0) return std::nullopt;
  char text[64];
  std::snprintf(text, sizeof text, "BCryptGenRandom failed with NTSTATUS 0x%08lX",
                static_cast<unsigned long>(status));
  return std::string(text);
}

std::string_view os_entropy_source_name() {
  return find_process_prng() != nullptr ? "ProcessPrng" : "BCryptGenRandom";
}

}  // namespace win32

namespace {

class Win32Entropy final : public EntropySource {
 public:
  std::optional<std::string> fill(EntropyKey& key) override {
    if (const win32::ProcessPrngFn process_prng = win32::find_process_prng()) {
      return win32::fill_with_process_prng(process_prng, key);
    }
    return win32::fill_with_bcrypt(key);
  }
};

}  // namespace

EntropySource& os_entropy() {
  // Never destroyed: a thread may still rekey while static objects are torn down.
  static Win32Entropy& source = *new Win32Entropy;
  return source;
}

}  // namespace zentrova::core::platform
