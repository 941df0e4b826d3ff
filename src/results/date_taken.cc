#include "results/date_taken.h"

// The metadata library's 0.27 interface hands images out in std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <array>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "imaging/image_decoder.h"

namespace pictavo {
namespace {

constexpr int kFirstYear = 1900;
constexpr int kLastYear = 2099;

bool LeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && LeapYear(year) ? 29 : kDays[static_cast<size_t>(month - 1)];
}

// Reads `count` digits at `pos`; -1 when any is missing or not a digit.
int Digits(std::string_view text, size_t pos, size_t count) {
  if (pos > text.size() || text.size() - pos < count) return -1;
  int value = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool DateSeparator(char c) { return c == ':' || c == '-' || c == '/'; }

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

// The metadata library reports through its own log, on standard error, and needs its XMP
// toolkit set up once before threads use it.
void PrepareMetadataLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
    Exiv2::enableBMFF(true);
  });
}

// Only the formats whose Exif block a camera writes are handed to the library: less of its
// code is reached by medium data, and the rest have no date to give.
bool MayHoldExif(std::span<const uint8_t> head) {
  switch (DetectImageFormat(head.first(std::min<size_t>(head.size(), kDetectHeadSize)))) {
    case ImageFormat::kJpeg:
    case ImageFormat::kTiff:
    case ImageFormat::kRaw:
    case ImageFormat::kHeif:
    case ImageFormat::kAvif:
    case ImageFormat::kCr3:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string DateTaken::DayText() const {
  char text[16];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d", year, month, day);
  return text;
}

std::string DateTaken::FolderPath() const {
  char text[8];
  std::snprintf(text, sizeof(text), "%04d", year);
  return std::string(text) + "/" + DayText();
}

std::string DateTaken::NameStem() const {
  char text[16];
  std::snprintf(text, sizeof(text), "%02d.%02d.%02d", hour, minute, second);
  return DayText() + " " + text;
}

int64_t DateTaken::SecondsAsUtc() const {
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
         hour * 3600 + minute * 60 + second;
}

std::optional<DateTaken> ParseExifDate(std::string_view text) {
  // "YYYY:MM:DD HH:MM:SS", 19 characters; a 'T' between date and time is taken as well.
  DateTaken date;
  date.year = Digits(text, 0, 4);
  date.month = Digits(text, 5, 2);
  date.day = Digits(text, 8, 2);
  date.hour = Digits(text, 11, 2);
  date.minute = Digits(text, 14, 2);
  date.second = Digits(text, 17, 2);
  if (text.size() < 19 || !DateSeparator(text[4]) || text[7] != text[4] ||
      (text[10] != ' ' && text[10] != 'T') || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  if (date.year < kFirstYear || date.year > kLastYear || date.month < 1 || date.month > 12 ||
      date.day < 1 || date.day > DaysInMonth(date.year, date.month) || date.hour < 0 ||
      date.hour > 23 || date.minute < 0 || date.minute > 59 || date.second < 0 ||
      date.second > 59) {
    return std::nullopt;
  }
  return date;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::optional<DateTaken> ReadDateTaken(std::span<const uint8_t> head) {
  head = head.first(std::min<size_t>(head.size(), kDateTakenReadLimit));
  if (head.size() < kDetectHeadSize / 4 || !MayHoldExif(head)) return std::nullopt;
  PrepareMetadataLibrary();
  static constexpr std::array<const char*, 3> kKeys = {
      "Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized", "Exif.Image.DateTime"};
  try {
    Exiv2::Image::AutoPtr image =
        Exiv2::ImageFactory::open(head.data(), static_cast<long>(head.size()));
    if (image.get() == nullptr) return std::nullopt;
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    for (const char* key : kKeys) {
      const auto entry = exif.findKey(Exiv2::ExifKey(key));
      if (entry == exif.end()) continue;
      if (auto date = ParseExifDate(entry->toString())) return date;
    }
  } catch (...) {
    // Damaged or unknown metadata: the find simply has no date.
  }
  return std::nullopt;
}
#pragma GCC diagnostic pop

int64_t LocalTimeOf(const DateTaken& date) {
  std::tm local{};
  local.tm_year = date.year - 1900;
  local.tm_mon = date.month - 1;
  local.tm_mday = date.day;
  local.tm_hour = date.hour;
  local.tm_min = date.minute;
  local.tm_sec = date.second;
  local.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&local);
  return seconds == static_cast<std::time_t>(-1) ? date.SecondsAsUtc() : seconds;
}

}  // namespace pictavo
