// The Windows platform layer: the memory figure is the system's ullAvailPhys and
// is what a refused register quotes; each way to the entropy source fills a
// whole key; and the run records which source the engine itself uses, since
// Wine and older Windows lack ProcessPrng and take the BCryptGenRandom path.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <string>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/platform/entropy.h"
#include "core/platform/entropy_win32.h"
#include "core/platform/memory.h"
#include "core/qubit/register.h"
#include "core/random/thread_rng.h"

namespace zentrova::core::platform {
namespace {

std::uint64_t system_available_physical() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  EXPECT_TRUE(GlobalMemoryStatusEx(&status));
  return status.ullAvailPhys;
}

// The figure moves with every allocation on the machine between two reads;
// this much drift around the system's own readings is accepted.
constexpr std::uint64_t kDrift = std::uint64_t{256} << 20;

void expect_near_system_figure(std::uint64_t figure, std::uint64_t before, std::uint64_t after) {
  const std::uint64_t lo = std::min(before, after);
  const std::uint64_t hi = std::max(before, after);
  EXPECT_GE(figure, lo > kDrift ? lo - kDrift : 0) << "system read " << before << ", " << after;
  EXPECT_LE(figure, hi + kDrift) << "system read " << before << ", " << after;
}

TEST(PlatformWin32Test, MemoryFigureIsTheSystemsAvailablePhysicalMemory) {
  const std::uint64_t before = system_available_physical();
  const std::uint64_t figure = available_physical_memory();
  const std::uint64_t after = system_available_physical();
  EXPECT_GT(figure, std::uint64_t{1} << 20);
  expect_near_system_figure(figure, before, after);

  // Recorded, never asserted: what each register above the size built
  // without asking pays for the figure on this system.
  constexpr int kCalls = 1000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) (void)available_physical_memory();
  const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  const double ns = spent.count() / kCalls;
  RecordProperty("memory_query_ns", std::to_string(ns));
  std::cout << "zentrova memory query: " << ns << " ns per call" << std::endl;
}

TEST(PlatformWin32Test, RefusedRegisterQuotesTheSystemsFigure) {
  constexpr std::uint64_t kQubits = 58;  // 2^62 bytes: more than any host has
  const std::uint64_t before = system_available_physical();
  std::string message;
  try {
    (void)Register(kQubits);
  } catch (const FatalError& e) {
    message = e.message();
  }
  const std::uint64_t after = system_available_physical();
  ASSERT_EQ(message.rfind("You have ", 0), 0u) << message;
  const std::uint64_t quoted = std::stoull(message.substr(9));
  expect_near_system_figure(quoted, before, after);
  EXPECT_EQ(message, memory_message(quoted, kQubits, std::uint64_t{16} << kQubits));
}

// Fills every byte: eight fills of a zeroed key leave a given byte zero in all
// of them with probability 2^-64 when the source works.
void expect_fills_whole_keys(const std::function<std::optional<std::string>(EntropyKey&)>& fill) {
  EntropyKey seen{};
  EntropyKey first{};
  for (int round = 0; round < 8; ++round) {
    EntropyKey key{};
    const auto error = fill(key);
    ASSERT_EQ(error, std::nullopt) << *error;
    if (round == 0) {
      first = key;
    } else {
      EXPECT_NE(key, first) << "two fills gave the same 32 bytes";
    }
    for (std::size_t i = 0; i < key.size(); ++i) seen[i] |= key[i];
  }
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_NE(seen[i], 0) << "byte " << i << " never written";
}

TEST(PlatformWin32Test, EngineReportsTheSourceItUses) {
  const std::string name(win32::os_entropy_source_name());
  // Visible in the test log and in the XML report, so a run says what it exercised.
  RecordProperty("entropy_source", name);
  std::cout << "zentrova entropy source: " << name << std::endl;

  // Asked independently of the engine's own lookup.
  HMODULE library = LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const bool has_process_prng =
      library != nullptr && GetProcAddress(library, "ProcessPrng") != nullptr;
  if (library != nullptr) FreeLibrary(library);
  EXPECT_EQ(name, has_process_prng ? "ProcessPrng" : "BCryptGenRandom");
  EXPECT_EQ(win32::find_process_prng() != nullptr, has_process_prng);

  expect_fills_whole_keys([](EntropyKey& key) { return os_entropy().fill(key); });
}

TEST(PlatformWin32Test, BcryptGenRandomFillsWholeKeys) {
  expect_fills_whole_keys(&win32::fill_with_bcrypt);
}

TEST(PlatformWin32Test, ProcessPrngFillsWholeKeys) {
  const win32::ProcessPrngFn process_prng = win32::find_process_prng();
  if (process_prng == nullptr) GTEST_SKIP() << "this system has no ProcessPrng";
  expect_fills_whole_keys(
      [process_prng](EntropyKey& key) { return win32::fill_with_process_prng(process_prng, key); });
}

int __stdcall failing_process_prng(unsigned char*, std::size_t) { return FALSE; }

class FailingProcessPrngSource final : public EntropySource {
 public:
  std::optional<std::string> fill(EntropyKey& key) override {
    return win32::fill_with_process_prng(&failing_process_prng, key);
  }
};

TEST(PlatformWin32Test, FailingProcessPrngStopsSeedingWithItsText) {
  FailingProcessPrngSource source;
  ScopedThreadRngForTesting scoped(source);
  Register reg = Register::with_memory(1, std::uint64_t{1} << 20);
  try {
    (void)reg.observe();
    ADD_FAILURE() << "a measurement drew without a key";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message(), "could not initialize ThreadRng: unexpected situation");
  }
  EXPECT_EQ(reg.amplitudes()[0].re, 1.0);
}

}  // namespace
}  // namespace zentrova::core::platform
