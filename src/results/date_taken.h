#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pictavo {

// When a photo was taken, as its camera wrote it (local time of the camera, no zone).
struct DateTaken {
  int year = 0;
  int month = 0;   // 1 to 12
  int day = 0;     // 1 to the month's last day
  int hour = 0;    // 0 to 23
  int minute = 0;  // 0 to 59
  int second = 0;  // 0 to 59

  friend bool operator==(const DateTaken&, const DateTaken&) = default;
  friend auto operator<=>(const DateTaken&, const DateTaken&) = default;

  // "2024/2024-07-13": the folders a photo of that day is saved under.
  std::string FolderPath() const;
  // "2024-07-13": the day alone.
  std::string DayText() const;
  // "2024-07-13 18.22.05": the name a photo taken then is saved under, without extension.
  std::string NameStem() const;
  // Seconds since 1970-01-01 00:00:00 when the date is read as UTC (the file times set from it
  // are read back as the same wall-clock time in any zone only through the local zone, see
  // LocalTimeOf).
  int64_t SecondsAsUtc() const;
};

// The first bytes of a find given to the metadata reader; the Exif block of every common
// photo format lies within them.
inline constexpr uint32_t kDateTakenReadLimit = 4u << 20;

// Parses an Exif date text, "2024:07:13 18:22:05" (the separators of the date may also be
// '-' or '/', and a trailing zone or fraction is ignored). Nothing for an impossible date
// (month 13, February 30, hour 24, a year before 1900 or after 2099, all zeros, blanks).
std::optional<DateTaken> ParseExifDate(std::string_view text);

// The date a photo was taken, from its metadata: Exif DateTimeOriginal, else DateTimeDigitized,
// else DateTime. `head` holds the find's first bytes (at most kDateTakenReadLimit are looked
// at). JPEG, the TIFF-based raws and (when the metadata library can read them) HEIF, AVIF and
// CR3 are read; any other content, a damaged block, or no possible date gives nothing. Never
// throws; safe to call from several threads at once.
std::optional<DateTaken> ReadDateTaken(std::span<const uint8_t> head);

// The file time that shows `date` as the wall-clock time in the local time zone (mktime), so
// that a file browser shows the time the camera showed.
int64_t LocalTimeOf(const DateTaken& date);

}  // namespace pictavo
