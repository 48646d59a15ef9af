// MinGW only: the rotation gates' cos and sin come from the system's C runtime,
// the library an MSVC build calls, instead of MinGW's own. MinGW's versions
// use the x87 fsin/fcos instructions, whose argument reduction with a 66-bit pi
// is off by thousands of units in the last place near multiples of pi/2
// (cos(pi/2) gives 6.1230317691118863e-17 instead of 6.123233995736766e-17), and
// the engine promises the same bits as on every other platform. Defining the
// symbols here keeps the linker from taking MinGW's from its own library.
#include <windows.h>

// msvcrt.dll's entries, through the import table MinGW links against.
extern "C" double (*__imp_cos)(double);
extern "C" double (*__imp_sin)(double);

namespace {

using MathFn = double (*)(double);

struct CrtMath {
  MathFn cos;
  MathFn sin;
};

// The universal C runtime where the system has it (every Windows 10 and later),
// as an MSVC-built module would use; otherwise msvcrt.dll.
const CrtMath& crt_math() {
  static const CrtMath math = [] {
    // The library is never freed: the pointers are used for the life of the process.
    if (HMODULE ucrt = LoadLibraryExW(L"ucrtbase.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
      FARPROC cos_proc = GetProcAddress(ucrt, "cos");
      FARPROC sin_proc = GetProcAddress(ucrt, "sin");
      if (cos_proc != nullptr && sin_proc != nullptr) {
        return CrtMath{reinterpret_cast<MathFn>(reinterpret_cast<void (*)()>(cos_proc)),
                       reinterpret_cast<MathFn>(reinterpret_cast<void (*)()>(sin_proc))};
      }
      FreeLibrary(ucrt);
    }
    return CrtMath{__imp_cos, __imp_sin};
  }();
  return math;
}

}  // namespace

extern "C" {

double cos(double x) { return crt_math().cos(x); }

double sin(double x) { return crt_math().sin(x); }

// GCC turns a cos and a sin of the same angle into one sincos call.
void sincos(double x, double* s, double* c) {
  const CrtMath& math = crt_math();
  *s = math.sin(x);
  *c = math.cos(x);
}

}  // extern "C"
