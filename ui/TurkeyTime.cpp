#include "ui/TurkeyTime.h"

#include "common/WinHandles.h"

namespace ui {
namespace {

// Registry layout of a zone's "TZI" value.
struct RegistryTzi {
  LONG bias;
  LONG standardBias;
  LONG daylightBias;
  SYSTEMTIME standardDate;
  SYSTEMTIME daylightDate;
};

}  // namespace

std::optional<SYSTEMTIME> CurrentTurkeyTime() {
  // SystemTimeToTzSpecificLocalTimeEx with a zone named by its key would be the
  // direct call, but Wine 8 implements it as a stub that ends the process. The
  // zone's own registry data with SystemTimeToTzSpecificLocalTime gives the
  // same result on Windows and works under Wine.
  HKEY raw = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\Turkey Standard Time", 0,
                      KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  win::UniqueRegKey key(raw);
  RegistryTzi tzi{};
  DWORD size = sizeof tzi;
  DWORD type = 0;
  if (::RegQueryValueExW(key.Get(), L"TZI", nullptr, &type, reinterpret_cast<BYTE*>(&tzi), &size) != ERROR_SUCCESS ||
      type != REG_BINARY || size != sizeof tzi) {
    return std::nullopt;
  }
  TIME_ZONE_INFORMATION zone{};
  zone.Bias = tzi.bias;
  zone.StandardBias = tzi.standardBias;
  zone.DaylightBias = tzi.daylightBias;
  zone.StandardDate = tzi.standardDate;
  zone.DaylightDate = tzi.daylightDate;

  SYSTEMTIME utc{};
  ::GetSystemTime(&utc);
  SYSTEMTIME local{};
  if (!::SystemTimeToTzSpecificLocalTime(&zone, &utc, &local)) return std::nullopt;
  return local;
}

}  // namespace ui
