#include "drives/rescue_map.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/output_file.h"
#include "platform/system_error.h"

namespace pictavo {

RescueMap::RescueMap(uint64_t size) : size_(size) {
  if (size > 0) {
    areas_[0] = {size, AreaStatus::kNonTried};
    Count(AreaStatus::kNonTried, 1, static_cast<int64_t>(size));
  }
}

int RescueMap::Index(AreaStatus status) {
  switch (status) {
    case AreaStatus::kNonTried:
      return 0;
    case AreaStatus::kNonTrimmed:
      return 1;
    case AreaStatus::kNonScraped:
      return 2;
    case AreaStatus::kBadSector:
      return 3;
    case AreaStatus::kFinished:
      return 4;
  }
  return 0;
}

void RescueMap::Count(AreaStatus status, int areas, int64_t bytes) {
  const int i = Index(status);
  counts_[i] = static_cast<size_t>(static_cast<int64_t>(counts_[i]) + areas);
  bytes_[i] = static_cast<uint64_t>(static_cast<int64_t>(bytes_[i]) + bytes);
}

void RescueMap::SplitAt(uint64_t pos) {
  if (pos == 0 || pos >= size_) return;
  auto it = areas_.upper_bound(pos);
  --it;
  if (it->first == pos) return;
  const uint64_t end = it->first + it->second.first;
  it->second.first = pos - it->first;
  areas_.emplace_hint(std::next(it), pos, std::make_pair(end - pos, it->second.second));
  Count(it->second.second, 1, 0);
}

void RescueMap::MergeAround(uint64_t pos) {
  auto it = areas_.upper_bound(pos);
  if (it == areas_.begin()) return;
  --it;
  // Merge with the following area, then with the preceding one.
  auto next = std::next(it);
  if (next != areas_.end() && next->second.second == it->second.second) {
    it->second.first += next->second.first;
    Count(it->second.second, -1, 0);
    areas_.erase(next);
  }
  if (it != areas_.begin()) {
    auto prev = std::prev(it);
    if (prev->second.second == it->second.second) {
      prev->second.first += it->second.first;
      Count(it->second.second, -1, 0);
      areas_.erase(it);
    }
  }
}

void RescueMap::Mark(uint64_t pos, uint64_t length, AreaStatus status) {
  if (pos >= size_ || length == 0) return;
  const uint64_t end = length > size_ - pos ? size_ : pos + length;
  SplitAt(pos);
  SplitAt(end);
  auto first = areas_.find(pos);
  const auto last = areas_.lower_bound(end);
  for (auto it = first; it != last; ++it) {
    Count(it->second.second, -1, -static_cast<int64_t>(it->second.first));
  }
  areas_.erase(first, last);
  areas_[pos] = {end - pos, status};
  Count(status, 1, static_cast<int64_t>(end - pos));
  if (end < size_) MergeAround(end);
  MergeAround(pos);
}

MapArea RescueMap::AreaAt(uint64_t pos) const {
  auto it = areas_.upper_bound(pos);
  if (it == areas_.begin()) return {};
  --it;
  return {it->first, it->second.first, it->second.second};
}

bool RescueMap::FindForward(AreaStatus status, uint64_t pos, MapArea* out) const {
  auto it = areas_.upper_bound(pos);
  if (it != areas_.begin()) --it;
  for (; it != areas_.end(); ++it) {
    if (it->second.second != status) continue;
    if (it->first + it->second.first <= pos) continue;
    *out = {it->first, it->second.first, it->second.second};
    return true;
  }
  return false;
}

bool RescueMap::FindBackward(AreaStatus status, uint64_t pos, MapArea* out) const {
  auto it = areas_.lower_bound(pos);
  while (it != areas_.begin()) {
    --it;
    if (it->second.second == status) {
      *out = {it->first, it->second.first, it->second.second};
      return true;
    }
  }
  return false;
}

uint64_t RescueMap::Bytes(AreaStatus status) const { return bytes_[Index(status)]; }

size_t RescueMap::AreaCount(AreaStatus status) const { return counts_[Index(status)]; }

std::vector<MapArea> RescueMap::Areas() const {
  std::vector<MapArea> out;
  out.reserve(areas_.size());
  for (const auto& [pos, area] : areas_) out.push_back({pos, area.first, area.second});
  return out;
}

std::string RescueMap::Format(const std::string& command_line) const {
  std::string out = "# Mapfile. Created by pictavo\n";
  out += "# Command line: " + command_line + "\n";
  char line[128];
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  strftime(line, sizeof(line), "# Current time: %Y-%m-%d %H:%M:%S\n", &local);
  out += line;
  if (phase == RescuePhase::kFinished) out += "# Finished\n";
  out += "# current_pos  current_status  current_pass\n";
  std::snprintf(line, sizeof(line), "0x%08" PRIX64 "     %c               %d\n", current_pos,
                static_cast<char>(phase), pass);
  out += line;
  out += "#      pos        size  status\n";
  for (const auto& [pos, area] : areas_) {
    std::snprintf(line, sizeof(line), "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", pos, area.first,
                  static_cast<char>(area.second));
    out += line;
  }
  return out;
}

namespace {

bool ParseNumber(std::string_view text, size_t* at, uint64_t* out) {
  while (*at < text.size() && (text[*at] == ' ' || text[*at] == '\t')) ++*at;
  const size_t start = *at;
  int base = 10;
  if (text.size() - *at > 2 && text[*at] == '0' && (text[*at + 1] == 'x' || text[*at + 1] == 'X')) {
    base = 16;
    *at += 2;
  }
  uint64_t value = 0;
  const size_t digits_start = *at;
  while (*at < text.size()) {
    const char c = text[*at];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) break;
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
      return false;
    }
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    ++*at;
  }
  if (*at == digits_start || *at == start) return false;
  *out = value;
  return true;
}

bool ParseChar(std::string_view text, size_t* at, char* out) {
  while (*at < text.size() && (text[*at] == ' ' || text[*at] == '\t')) ++*at;
  if (*at >= text.size()) return false;
  *out = text[(*at)++];
  return true;
}

bool RestIsBlank(std::string_view text, size_t at) {
  for (; at < text.size(); ++at) {
    if (text[at] != ' ' && text[at] != '\t' && text[at] != '\r') return false;
  }
  return true;
}

bool KnownStatus(char c) { return c == '?' || c == '*' || c == '/' || c == '-' || c == '+'; }
bool KnownPhase(char c) { return KnownStatus(c) || c == 'F' || c == 'G'; }

}  // namespace

bool RescueMap::Parse(std::string_view text, RescueMap* out, std::string* error) {
  RescueMap map;
  bool have_status = false;
  uint64_t expected = 0;
  size_t line_no = 0;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(begin, end - begin);
    begin = end + 1;
    ++line_no;
    size_t at = 0;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at >= line.size() || line[at] == '#' || RestIsBlank(line, at)) continue;
    const auto bad = [&](const char* what) {
      *error = "line " + std::to_string(line_no) + ": " + what;
      return false;
    };
    if (!have_status) {
      uint64_t pos = 0;
      char phase = 0;
      if (!ParseNumber(line, &at, &pos) || !ParseChar(line, &at, &phase) || !KnownPhase(phase)) {
        return bad("expected the current position and status");
      }
      uint64_t pass = 1;
      if (!RestIsBlank(line, at) && !ParseNumber(line, &at, &pass)) return bad("bad pass number");
      if (!RestIsBlank(line, at)) return bad("unexpected text after the current status");
      map.current_pos = pos;
      // Filling and generating modes are not runs of this program: start over with copying.
      map.phase = KnownStatus(phase) ? static_cast<RescuePhase>(phase) : RescuePhase::kCopying;
      map.pass = static_cast<int>(std::clamp<uint64_t>(pass, 1, 1000));
      have_status = true;
      continue;
    }
    uint64_t pos = 0;
    uint64_t size = 0;
    char status = 0;
    if (!ParseNumber(line, &at, &pos) || !ParseNumber(line, &at, &size) ||
        !ParseChar(line, &at, &status) || !RestIsBlank(line, at)) {
      return bad("expected position, size and status");
    }
    if (!KnownStatus(status)) return bad("unknown status");
    if (pos != expected) return bad("areas are not contiguous from position 0");
    if (size > UINT64_MAX - pos) return bad("area too large");
    if (size == 0) continue;
    map.areas_[pos] = {size, static_cast<AreaStatus>(status)};
    expected = pos + size;
  }
  if (!have_status) {
    *error = "no current position and status";
    return false;
  }
  map.size_ = expected;
  // Merge neighbours of one status, which a hand-edited map may hold.
  for (auto it = map.areas_.begin(); it != map.areas_.end();) {
    auto next = std::next(it);
    if (next != map.areas_.end() && next->second.second == it->second.second) {
      it->second.first += next->second.first;
      map.areas_.erase(next);
    } else {
      it = next;
    }
  }
  for (const auto& [pos, area] : map.areas_) {
    map.Count(area.second, 1, static_cast<int64_t>(area.first));
  }
  *out = std::move(map);
  return true;
}

bool SaveMapFile(const RescueMap& map, const std::string& path, const std::string& command_line,
                 int* error) {
  const std::string text = map.Format(command_line);
  const std::string temp = path + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  if (!WriteFully(fd, text.data(), text.size(), error) || !SyncAndClose(fd, error)) {
    if (*error == 0) *error = EIO;
    unlink(temp.c_str());
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    *error = errno;
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool LoadMapFile(const std::string& path, RescueMap* map, std::string* error) {
  std::vector<uint8_t> bytes;
  int code = 0;
  // A map of a badly damaged medium has many areas, each a line of about 30 bytes.
  if (!ReadWholeFile(path, 512u << 20, &bytes, &code)) {
    *error = SystemErrorText(code);
    return false;
  }
  return RescueMap::Parse(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), map, error);
}

std::vector<AreaStatus> MapBar(const RescueMap& map, size_t cells) {
  std::vector<AreaStatus> bar(cells, AreaStatus::kFinished);
  if (cells == 0 || map.size() == 0) return bar;
  const auto rank = [](AreaStatus s) {
    switch (s) {
      case AreaStatus::kFinished:
        return 0;
      case AreaStatus::kNonTried:
        return 1;
      case AreaStatus::kNonTrimmed:
      case AreaStatus::kNonScraped:
        return 2;
      case AreaStatus::kBadSector:
        return 3;
    }
    return 0;
  };
  std::vector<uint8_t> set(cells, 0);
  const unsigned __int128 total = map.size();
  for (const MapArea& area : map.Areas()) {
    const size_t first =
        static_cast<size_t>(area.pos * static_cast<unsigned __int128>(cells) / total);
    size_t last =
        static_cast<size_t>((area.end() - 1) * static_cast<unsigned __int128>(cells) / total);
    last = std::min(last, cells - 1);
    for (size_t c = first; c <= last; ++c) {
      if (!set[c] || rank(area.status) > rank(bar[c])) bar[c] = area.status;
      set[c] = 1;
    }
  }
  return bar;
}

}  // namespace pictavo
