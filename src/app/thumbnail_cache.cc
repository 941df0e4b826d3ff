#include "app/thumbnail_cache.h"

#include <QFile>
#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "engine/file_types.h"
#include "formats/byte_reader.h"
#include "imaging/image_decoder.h"

namespace pictavo::app {
namespace {

// The state of a find whose embedded thumbnail is shown and whose photo waits to be decoded.
constexpr uint8_t kFullDecodeWanted = 3;

// A damaged raw must not keep a worker for long: the views wait for the finds behind it.
constexpr std::chrono::milliseconds kRawTimeLimit{5'000};

bool IsPicture(FileTypeId type) {
  const FileTypeInfo* info = FindFileType(type);
  return info && (info->category == TypeCategory::kPhoto || info->category == TypeCategory::kRaw);
}

FindDecode DecodeOf(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kComplete:
      return FindDecode::kComplete;
    case DecodeStatus::kPartial:
      return FindDecode::kPartial;
    case DecodeStatus::kFailed:
      break;
  }
  return FindDecode::kFailed;
}

}  // namespace

std::span<const uint8_t> ExifThumbnailOf(std::span<const uint8_t> jpeg) {
  const ByteReader file(jpeg, Endian::kBig);
  if (file.U16At(0) != 0xFFD8) return {};
  size_t pos = 2;
  // The Exif block comes among the first segments; a file has few before its picture data.
  for (int segment = 0; segment < 16 && file.Has(pos, 4); ++segment) {
    if (jpeg[pos] != 0xFF) return {};
    const uint8_t marker = jpeg[pos + 1];
    const uint16_t length = *file.U16At(pos + 2);
    if (marker == 0xDA || length < 2) return {};
    if (marker == 0xE1 && length >= 16 && file.Matches(pos + 4, std::string_view("Exif\0\0", 6))) {
      const size_t tiff_start = pos + 10;
      if (!file.Has(tiff_start, length - 8u)) return {};
      const std::span<const uint8_t> tiff = jpeg.subspan(tiff_start, length - 8u);
      const ByteReader probe(tiff, Endian::kLittle);
      Endian order;
      if (probe.Matches(0, "II")) {
        order = Endian::kLittle;
      } else if (probe.Matches(0, "MM")) {
        order = Endian::kBig;
      } else {
        return {};
      }
      const ByteReader block(tiff, order);
      const auto ifd0 = block.U32At(4);
      if (!ifd0) return {};
      const auto count0 = block.U16At(*ifd0);
      if (!count0) return {};
      const auto ifd1 = block.U32At(size_t{*ifd0} + 2 + size_t{*count0} * 12);
      if (!ifd1 || *ifd1 == 0) return {};
      const auto count1 = block.U16At(*ifd1);
      if (!count1) return {};
      uint32_t offset = 0, size = 0;
      for (uint32_t k = 0; k < *count1; ++k) {
        const size_t entry = size_t{*ifd1} + 2 + size_t{k} * 12;
        const auto tag = block.U16At(entry);
        const auto value = block.U32At(entry + 8);
        if (!tag || !value) return {};
        if (*tag == 0x0201) offset = *value;
        if (*tag == 0x0202) size = *value;
      }
      if (offset == 0 || size < 4 || !block.Has(offset, size)) return {};
      const std::span<const uint8_t> thumbnail = tiff.subspan(offset, size);
      if (thumbnail[0] != 0xFF || thumbnail[1] != 0xD8) return {};
      return thumbnail;
    }
    pos += 2 + size_t{length};
  }
  return {};
}

QImage QuickThumbnail(SectorSource* source, const FoundFile& file, int edge) {
  if (!source || file.type != kTypeJpeg || file.length < 4) return {};
  const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(file.length, kExifHeadBytes));
  std::vector<uint8_t> head(count);
  uint32_t delivered = 0;
  if (!source->ReadAt(file.offset, count, head.data(), ReadRule::kData, &delivered)) return {};
  head.resize(delivered);
  const std::span<const uint8_t> thumbnail = ExifThumbnailOf(head);
  if (thumbnail.empty()) return {};
  DecodeOptions options;
  options.fit_width = edge;
  options.fit_height = edge;
  const DecodeResult result = DecodeImageAs(ImageFormat::kJpeg, thumbnail, options);
  if (result.status != DecodeStatus::kComplete || result.picture.Empty()) return {};
  const Picture& picture = result.picture;
  return QImage(reinterpret_cast<const uchar*>(picture.pixels.data()), picture.width,
                picture.height, picture.width * 4, QImage::Format_ARGB32)
      .copy();
}

FindFacts DecodeFindThumbnail(SectorSource* source, const FoundFile& file, int edge,
                              QImage* image) {
  *image = QImage();
  FindFacts facts;
  if (!IsPicture(file.type)) {
    facts.decode = FindDecode::kNotPicture;
    return facts;
  }
  facts.decode = FindDecode::kFailed;
  if (!source || file.length == 0) return facts;
  const uint32_t count =
      static_cast<uint32_t>(std::min<uint64_t>(file.length, ThumbnailCache::kReadLimit));
  std::vector<uint8_t> bytes(count);
  uint32_t delivered = 0;
  if (!source->ReadAt(file.offset, count, bytes.data(), ReadRule::kData, &delivered)) {
    return facts;
  }
  bytes.resize(delivered);
  DecodeOptions options;
  options.fit_width = edge;
  options.fit_height = edge;
  options.raw_time_limit = kRawTimeLimit;
  DecodeResult result = DecodeImage(bytes, options);
  facts.decode = DecodeOf(result.status);
  // A file read only in part cannot be complete.
  if (facts.decode == FindDecode::kComplete && delivered < file.length) {
    facts.decode = FindDecode::kPartial;
  }
  if (const auto date = ReadDateTaken(bytes)) facts.taken = date->SecondsAsUtc();
  if (!result.ok() || result.picture.Empty()) return facts;
  facts.width = static_cast<uint32_t>(std::max(result.full_width, 0));
  facts.height = static_cast<uint32_t>(std::max(result.full_height, 0));
  if (facts.width == 0 || facts.height == 0) {
    facts.width = static_cast<uint32_t>(result.picture.width);
    facts.height = static_cast<uint32_t>(result.picture.height);
  }
  const Picture& picture = result.picture;
  QImage wrapped(reinterpret_cast<const uchar*>(picture.pixels.data()), picture.width,
                 picture.height, picture.width * 4, QImage::Format_ARGB32);
  *image = wrapped.copy();  // the pixels go with the decode result
  return facts;
}

void MarkRepeats(std::vector<FindFacts>& facts, const std::vector<ContentDigest>& digests) {
  std::vector<std::optional<ContentDigest>> known(facts.size());
  for (size_t i = 0; i < facts.size() && i < digests.size(); ++i) {
    if (facts[i].has_digest) known[i] = digests[i];
  }
  const std::vector<bool> repeated = RepeatedFinds(known);
  for (size_t i = 0; i < facts.size(); ++i) facts[i].repeat = repeated[i];
}

ThumbnailCache::ThumbnailCache(int workers, QObject* parent) : QObject(parent) {
  for (int k = 0; k < std::max(workers, 1); ++k) workers_.emplace_back([this] { WorkerLoop(); });
}

ThumbnailCache::~ThumbnailCache() { StopWorkers(); }

void ThumbnailCache::StopWorkers() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  workers_.clear();
}

void ThumbnailCache::Attach(const ScanResults* results, const QString& source_name) {
  const size_t count = results ? results->Found().size() : 0;
  {
    std::lock_guard lock(mutex_);
    results_ = results;
    source_name_ = QFile::encodeName(source_name).toStdString();
    ++generation_;
    waiting_.clear();
    asked_.assign(count, 0);
    survey_on_ = false;
    survey_next_ = 0;
    digest_on_ = false;
  }
  facts_.assign(count, FindFacts{});
  digests_wanted_ = false;
  digests_.clear();
  digests_.shrink_to_fit();
  lru_.clear();
  cache_.clear();
  surveying_ = false;
  known_ = 0;
}

void ThumbnailCache::Detach() { Attach(nullptr, QString()); }

const FindFacts& ThumbnailCache::Facts(uint32_t record) const {
  static const FindFacts kNone;
  return record < facts_.size() ? facts_[record] : kNone;
}

const QImage* ThumbnailCache::Thumbnail(uint32_t record) {
  if (record >= facts_.size()) return nullptr;
  if (const auto found = cache_.find(record); found != cache_.end()) {
    lru_.splice(lru_.begin(), lru_, found->second);
    return &found->second->second;
  }
  const FindDecode decode = facts_[record].decode;
  if (decode == FindDecode::kFailed || decode == FindDecode::kNotPicture) return nullptr;
  {
    std::lock_guard lock(mutex_);
    if (!results_) return nullptr;
    if (asked_[record] == 1 || asked_[record] == kFullDecodeWanted) {
      // Asked again: it is on screen still, so it moves to the front.
      if (const auto at = std::find(waiting_.begin(), waiting_.end(), record);
          at != waiting_.end()) {
        waiting_.erase(at);
        waiting_.push_front(record);
      }
      return nullptr;
    }
    asked_[record] = 1;
    waiting_.push_front(record);
    while (waiting_.size() > kMaxWaiting) {
      const uint32_t dropped = waiting_.back();
      asked_[dropped] = 0;
      // A survey that passed it already goes round once more.
      if (dropped < survey_next_) survey_wrapped_ = false;
      waiting_.pop_back();
    }
  }
  wake_.notify_one();
  return nullptr;
}

void ThumbnailCache::StartSurvey() {
  if (surveying_ || facts_.empty()) return;
  surveying_ = true;
  {
    std::lock_guard lock(mutex_);
    survey_on_ = true;
    survey_next_ = 0;
    survey_wrapped_ = false;
  }
  if (known_ == facts_.size()) {
    surveying_ = false;
    if (digests_wanted_) MarkRepeats(facts_, digests_);
    emit SurveyDone();
    return;
  }
  wake_.notify_all();
}

void ThumbnailCache::WantDigests() {
  if (digests_wanted_ || facts_.empty()) return;
  digests_wanted_ = true;
  digests_.assign(facts_.size(), ContentDigest{});
  {
    std::lock_guard lock(mutex_);
    digest_on_ = true;
    // Every find is read again: those in hand come back without a digest and are taken again.
    for (uint8_t& asked : asked_) {
      if (asked == 2) asked = 0;
    }
  }
  known_ = 0;
  surveying_ = false;
  StartSurvey();
}

bool ThumbnailCache::TakeJob(Job* job, uint64_t* generation, std::string* source) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (quit_) return false;
    if (results_ && !waiting_.empty()) {
      job->record = waiting_.front();
      job->survey = false;
      job->quick = asked_[job->record] != kFullDecodeWanted;
      asked_[job->record] = 1;
      waiting_.pop_front();
      break;
    }
    if (results_ && survey_on_) {
      const size_t count = asked_.size();
      while (survey_next_ < count && asked_[survey_next_] != 0) ++survey_next_;
      if (survey_next_ == count && !survey_wrapped_) {
        // Requests dropped behind the survey are taken on a second round.
        survey_wrapped_ = true;
        survey_next_ = 0;
        while (survey_next_ < count && asked_[survey_next_] != 0) ++survey_next_;
      }
      if (survey_next_ < count) {
        job->record = static_cast<uint32_t>(survey_next_);
        job->survey = true;
        asked_[survey_next_] = 1;
        ++survey_next_;
        break;
      }
      survey_on_ = false;
    }
    wake_.wait(lock);
  }
  // Only these fields are read: the page changes nothing but the marks of the finds.
  const FoundFile& file = results_->records[job->record];
  job->type = file.type;
  job->offset = file.offset;
  job->length = file.length;
  job->digest = digest_on_;
  *generation = generation_;
  *source = source_name_;
  return true;
}

void ThumbnailCache::WorkerLoop() {
  std::unique_ptr<FileSectorSource> source;
  std::string open_name;
  Job job;
  uint64_t generation = 0;
  std::string name;
  while (TakeJob(&job, &generation, &name)) {
    if (name != open_name || !source) {
      open_name = name;
      int error = 0;
      source = name.empty() ? nullptr : FileSectorSource::Open(name, OpenOptions{}, &error);
    }
    FoundFile file;
    file.type = job.type;
    file.offset = job.offset;
    file.length = job.length;
    // A thumbnail on screen comes from the camera's own when there is one; the photo is
    // decoded by the survey (or the next request) to learn its facts.
    if (job.quick && !job.survey && !job.digest) {
      QImage quick = QuickThumbnail(source.get(), file, kThumbnailSize);
      if (!quick.isNull()) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, job, image = std::move(quick)]() mutable {
              OnQuickThumbnail(generation, job, std::move(image));
            },
            Qt::QueuedConnection);
        continue;
      }
    }
    QImage image;
    FindFacts facts = DecodeFindThumbnail(source.get(), file, kThumbnailSize, &image);
    ContentDigest digest;
    if (job.digest && source) {
      if (const auto read = FindDigest(*source, file)) {
        digest = *read;
        facts.has_digest = true;
      }
    }
    QMetaObject::invokeMethod(
        this,
        [this, generation, job, facts, digest, image = std::move(image)]() mutable {
          OnDecoded(generation, job, facts, digest, std::move(image));
        },
        Qt::QueuedConnection);
  }
}

void ThumbnailCache::OnQuickThumbnail(uint64_t generation, Job job, QImage image) {
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    // Its facts are still to be learnt: the photo itself is decoded after what is on screen.
    asked_[job.record] = kFullDecodeWanted;
    waiting_.push_back(job.record);
  }
  wake_.notify_one();
  ++decoded_;
  Keep(job.record, std::move(image));
  emit ThumbnailReady(job.record);
}

void ThumbnailCache::Keep(uint32_t record, QImage image) {
  if (cache_.contains(record)) return;
  lru_.emplace_front(record, std::move(image));
  cache_[record] = lru_.begin();
  while (cache_.size() > kCacheCapacity) {
    cache_.erase(lru_.back().first);
    lru_.pop_back();
  }
}

void ThumbnailCache::OnDecoded(uint64_t generation, Job job, FindFacts facts, ContentDigest digest,
                               QImage image) {
  // Read before digests were wanted: the facts are good, the find is read once more.
  const bool lacks_digest = digests_wanted_ && !job.digest;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    asked_[job.record] = lacks_digest ? 0 : 2;
    if (lacks_digest) survey_wrapped_ = false;
  }
  if (lacks_digest) wake_.notify_one();
  ++decoded_;
  const bool counted = facts_[job.record].decode != FindDecode::kUnknown &&
                       (!digests_wanted_ || facts_[job.record].has_digest);
  if (!lacks_digest && !counted) ++known_;
  if (lacks_digest) facts.has_digest = facts_[job.record].has_digest;
  if (digests_wanted_ && facts.has_digest && job.digest) digests_[job.record] = digest;
  facts_[job.record] = facts;
  // The survey's pictures are kept while there is room; those asked for always are.
  if (!image.isNull() && (!job.survey || cache_.size() < kCacheCapacity)) {
    Keep(job.record, std::move(image));
  }
  if (!job.survey || cache_.contains(job.record)) emit ThumbnailReady(job.record);
  if (surveying_ && (known_ % kProgressStride == 0 || known_ == facts_.size())) {
    emit SurveyProgress(known_, facts_.size());
    if (known_ == facts_.size()) {
      surveying_ = false;
      if (digests_wanted_) MarkRepeats(facts_, digests_);
      emit SurveyDone();
    }
  }
}

}  // namespace pictavo::app
