#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <span>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/scan_engine.h"
#include "platform/sector_source.h"
#include "results/find_details.h"

namespace pictavo::app {

// What decoding a find taught about it.
enum class FindDecode : uint8_t {
  kUnknown,     // not decoded yet
  kComplete,    // every pixel came from the file
  kPartial,     // a picture came out, with filler where the data ended or was damaged
  kFailed,      // no picture
  kNotPicture,  // a film, a sound or another file that is no picture: never decoded
};

// No date taken known.
inline constexpr int64_t kNoDate = INT64_MIN;

struct FindFacts {
  uint32_t width = 0;  // the size the file declares, upright; 0 when unknown
  uint32_t height = 0;
  FindDecode decode = FindDecode::kUnknown;
  // The content digest is known (only read while duplicates are asked for), and an earlier find
  // holds the same bytes.
  bool has_digest = false;
  bool repeat = false;
  // When the photo was taken, as seconds of that wall-clock time read as UTC; kNoDate without.
  int64_t taken = kNoDate;

  uint64_t pixels() const { return uint64_t{width} * height; }
};

// Decodes the thumbnail of one find read from `source` (null when the source could not be
// opened): what it learnt, and the picture fitted into `edge` x `edge` in `image` (null when
// there is none). Files that are no pictures are not read.
FindFacts DecodeFindThumbnail(SectorSource* source, const FoundFile& file, int edge, QImage* image);
// The small JPEG a camera embeds in a JPEG's Exif block (IFD1), or an empty span when the head
// of the file holds none.
std::span<const uint8_t> ExifThumbnailOf(std::span<const uint8_t> jpeg);

// The thumbnail of a JPEG from its embedded Exif thumbnail alone, reading only the file's first
// kExifHeadBytes: a null image when there is none. The facts stay unknown (the photo itself is
// not decoded).
inline constexpr uint32_t kExifHeadBytes = 65'536 + 4;
QImage QuickThumbnail(SectorSource* source, const FoundFile& file, int edge);

// Marks the finds whose digest equals that of an earlier find as `repeat`.
void MarkRepeats(std::vector<FindFacts>& facts, const std::vector<ContentDigest>& digests);

// Thumbnails of the finds, decoded from the source on worker threads. The views ask for the
// thumbnails they paint, so the finds on screen come first (the latest asked first, and requests
// that scrolled away long ago are dropped); the decoded pictures are kept in a cache of a bounded
// number of thumbnails. Asking never waits: a thumbnail not decoded yet is null and
// ThumbnailReady() tells when it arrives. Besides, a survey reads every find in the background,
// after the thumbnails asked for, to learn the facts the content filters need.
//
// The workers read only the type, offset and length of the finds, which the page never changes,
// and only while the cache is attached: the results must not be replaced before Detach().
class ThumbnailCache : public QObject {
  Q_OBJECT

 public:
  // The edge of the square a thumbnail fits in.
  static constexpr int kThumbnailSize = 112;
  // How many thumbnails are kept; the one used least recently goes first.
  static constexpr size_t kCacheCapacity = 1024;
  // Requests waiting beyond this many drop the oldest.
  static constexpr size_t kMaxWaiting = 256;
  // Bytes of a find read for its thumbnail; larger finds are read up to here only.
  static constexpr uint32_t kReadLimit = 64u << 20;
  // The survey reports its progress after this many finds.
  static constexpr uint64_t kProgressStride = 64;

  explicit ThumbnailCache(int workers = 2, QObject* parent = nullptr);
  ~ThumbnailCache() override;

  // Serves the finds of `results`, read from the source named `source_name`; forgets
  // everything learnt before.
  void Attach(const ScanResults* results, const QString& source_name);
  // Stops serving (waiting requests and the survey are dropped, a decode under way is
  // finished but not taken).
  void Detach();

  // The thumbnail of `record`, or null (asked for unless it is known that there is none).
  const QImage* Thumbnail(uint32_t record);
  const FindFacts& Facts(uint32_t record) const;
  const std::vector<FindFacts>& facts() const { return facts_; }

  // Starts reading every find not yet decoded; SurveyProgress() reports, SurveyDone() ends it.
  void StartSurvey();
  // From now on the content of every find is digested too (finds read before are read again),
  // and when all are, the finds that repeat an earlier one are marked `repeat`.
  void WantDigests();
  bool wants_digests() const { return digests_wanted_; }
  bool surveying() const { return surveying_; }
  // Finds whose facts are known.
  uint64_t known_count() const { return known_; }
  size_t cached_count() const { return cache_.size(); }
  // Finds decoded so far (thumbnails and survey), for the figures of the benchmark.
  uint64_t decoded_count() const { return decoded_; }

 signals:
  void ThumbnailReady(uint32_t record);
  void SurveyProgress(uint64_t done, uint64_t total);
  void SurveyDone();

 private:
  struct Job {
    uint32_t record = 0;
    FileTypeId type = kTypeNone;
    uint64_t offset = 0;
    uint64_t length = 0;
    bool survey = false;
    bool digest = false;
    bool quick = true;  // the embedded thumbnail may stand in for the photo
  };
  void WorkerLoop();
  bool TakeJob(Job* job, uint64_t* generation, std::string* source);
  void OnDecoded(uint64_t generation, Job job, FindFacts facts, ContentDigest digest, QImage image);
  void StopWorkers();
  void OnQuickThumbnail(uint64_t generation, Job job, QImage image);
  // Puts a thumbnail in the cache, letting the least recently used go beyond its capacity.
  void Keep(uint32_t record, QImage image);

  // Shared with the workers, under mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;
  const ScanResults* results_ = nullptr;
  std::string source_name_;
  uint64_t generation_ = 0;
  std::deque<uint32_t> waiting_;  // the front is taken first
  // Per find: 0 not asked, 1 waiting or being decoded, 2 done, 3 waiting for its photo to be
  // decoded after its embedded thumbnail.
  std::vector<uint8_t> asked_;
  bool survey_on_ = false;
  size_t survey_next_ = 0;
  bool survey_wrapped_ = false;
  bool digest_on_ = false;

  // The user-interface thread's own.
  std::vector<FindFacts> facts_;
  std::list<std::pair<uint32_t, QImage>> lru_;  // most recent first
  std::unordered_map<uint32_t, std::list<std::pair<uint32_t, QImage>>::iterator> cache_;
  bool surveying_ = false;
  uint64_t known_ = 0;
  bool digests_wanted_ = false;
  std::vector<ContentDigest> digests_;  // while digests are wanted
  uint64_t decoded_ = 0;

  std::vector<std::thread> workers_;
};

}  // namespace pictavo::app
