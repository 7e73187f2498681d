#include "ui/Layout.h"

#include <algorithm>
#include <cwchar>

namespace ui {

const std::array<UiElement, 13> kElements = {{
    {ElementId::Minimise, {732, 13, 758, 38}, nullptr, 0, nullptr},
    {ElementId::Close, {763, 13, 789, 38}, nullptr, 0, nullptr},
    {ElementId::Start, {354, 494, 486, 529}, nullptr, 0, nullptr},
    {ElementId::Website, {486, 494, 618, 529}, nullptr, 0, nullptr},
    {ElementId::Options, {618, 494, 750, 529}, nullptr, 0, nullptr},
    {ElementId::Calendar, {363, 318, 433, 352}, L"Takvim", L'\u25A6', nullptr},
    {ElementId::Servers, {439, 318, 509, 352}, L"Sunucular", L'\u25A4', L"/sunucular.html"},
    {ElementId::Ranking, {515, 318, 585, 352}, L"S\u0131ralama", L'\u2605', L"/siralama.html"},
    {ElementId::Market, {591, 318, 661, 352}, L"Pazar", L'\u25CE', L"/pazar.html"},
    {ElementId::Support, {667, 318, 738, 352}, L"Destek", L'\u2692', L"/destek.html"},
    {ElementId::Banner, {351, 61, 750, 313}, nullptr, 0, L"/duyurular.html#duyuru-vega-beta"},
    {ElementId::BoardRow1, {351, 357, 750, 383}, nullptr, 0, nullptr},
    {ElementId::BoardRow2, {351, 383, 750, 409}, nullptr, 0, nullptr},
}};

const std::array<ScheduledEvent, 9> kEventSchedule = {{
    {L"Frontier Siege", 0x7F, 300},
    {L"Frontier Siege", 0x7F, 600},
    {L"Frontier Siege", 0x7F, 840},
    {L"Frontier Siege", 0x7F, 1140},
    {L"Ashen Ridge", 0x7F, 360},
    {L"Ashen Ridge", 0x7F, 1080},
    {L"Sunken Shrine", 0x7F, 150},
    {L"Sunken Shrine", 0x7F, 570},
    {L"Sunken Shrine", 0x7F, 1050},
}};

const UiElement* FindElement(ElementId id) {
  for (const auto& element : kElements) {
    if (element.id == id) return &element;
  }
  return nullptr;
}

CanvasRect ElementRect(ElementId id) {
  const UiElement* element = FindElement(id);
  return element ? element->rect : CanvasRect{};
}

ElementId HitTest(int x, int y) {
  for (const auto& element : kElements) {
    if (element.rect.Contains(x, y)) return element.id;
  }
  return ElementId::None;
}

std::vector<CalendarRow> UpcomingEvents(int hour, int minute, int dayOfWeek) {
  static constexpr const wchar_t* kDayNames[7] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
  struct Record {
    const ScheduledEvent* event;
    int delta;
    int day;
  };
  const int now = hour * 60 + minute;
  std::vector<Record> records;
  for (const auto& event : kEventSchedule) {
    // Eight days: the last one is the same weekday a week later.
    for (int d = 0; d <= 7; ++d) {
      const int start = event.startMinutes + 1440 * d;
      if ((event.weekdayMask >> ((d + dayOfWeek) % 7) & 1) && start >= now) {
        records.push_back({&event, start - now, d});
        break;
      }
    }
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const Record& a, const Record& b) { return a.delta < b.delta; });

  std::vector<CalendarRow> rows;
  for (const auto& record : records) {
    if (rows.size() == 3) break;
    const bool repeated = std::any_of(rows.begin(), rows.end(),
                                      [&](const CalendarRow& row) { return row.name == record.event->name; });
    if (repeated) continue;
    wchar_t time[16];
    std::swprintf(time, 16, L"%02u:%02u", static_cast<unsigned>(record.event->startMinutes / 60),
                  static_cast<unsigned>(record.event->startMinutes % 60));
    std::wstring shown = time;
    if (record.day > 0) shown = std::wstring(kDayNames[(record.day + dayOfWeek) % 7]) + L" " + shown;
    rows.push_back({record.event->name, shown});
  }
  return rows;
}

int DisplayPercent(bool progressVisible, std::int32_t progress, bool connected) {
  if (progressVisible) return std::clamp<std::int32_t>(progress, 0, 100);
  return connected ? 100 : 0;
}

int ProgressFillWidth(int percent) { return percent * kFillMaxWidth / 100; }

std::wstring ChooseStatusLine(bool guardRunning, const std::wstring& status, bool ready) {
  if (guardRunning) return kGuardRunningText;
  if (!status.empty()) return status;
  return ready ? kUpToDateText : kConnectingText;
}

std::wstring RetryCountdownText(int seconds) {
  return L"Retrying in " + std::to_wstring(seconds) + L" s\u2026";
}

int RetrySecondsLeft(std::uint64_t deadlineMs, std::uint64_t nowMs) {
  if (deadlineMs == 0) return 0;
  if (deadlineMs <= nowMs) return 1;
  return static_cast<int>(std::min<std::uint64_t>((deadlineMs - nowMs + 999) / 1000, 1000000));
}

void UpdateStatusTip(StatusTip& tip, bool hovered, bool moved, const std::wstring& line, std::uint64_t nowMs) {
  if (!hovered) {
    tip = StatusTip{};
    return;
  }
  if (tip.open) {
    if (line == tip.text) return;
    tip = StatusTip{};  // the text changed: a move is needed to see the new one
  }
  if (moved) {
    tip.armed = true;
    tip.armedAt = nowMs;
  }
  if (tip.armed && nowMs - tip.armedAt >= kStatusTipDelayMs) {
    tip.open = true;
    tip.armed = false;
    tip.text = line;
  }
}

std::size_t ClampBoardOffset(std::size_t offset, std::size_t count) {
  const std::size_t maximum = count > 2 ? count - 2 : 0;
  return std::min(offset, maximum);
}

const wchar_t* EmptyBoardMessage(bool listDelivered, bool fetchFailed) {
  if (listDelivered) return L"Yay\u0131mlanm\u0131\u015f duyuru yok.";
  if (fetchFailed) return L"Duyurular \u015fu anda y\u00fcklenemiyor.";
  return L"Duyurular y\u00fckleniyor\u2026";
}

}  // namespace ui
