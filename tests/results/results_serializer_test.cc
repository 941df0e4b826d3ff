#include "results/results_serializer.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <cstdlib>

namespace pictavo {
namespace {

std::string Written(ResultsFormat format, const ResultsListing& listing) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  WriteResults(out, format, listing);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

ScanResults TwoFinds() {
  ScanResults results;
  results.records = {{kTypeJpeg, 1024, 5000, 0}, {kTypePng, 8192, 77, 0}, {}};
  results.found_count = 2;
  results.tallies[kTypeJpeg] = {1, 1, 5000};
  results.tallies[kTypePng] = {1, 1, 77};
  return results;
}

TEST(ResultsSerializer, Tsv) {
  const ScanResults results = TwoFinds();
  ResultsListing listing;
  listing.source = "card.img";
  listing.sector_size = 512;
  listing.size = 65536;
  listing.results = &results;
  EXPECT_EQ(Written(ResultsFormat::kTsv, listing),
            "type\text\toffset\tlength\n10\tjpeg\t1024\t5000\n16\tpng\t8192\t77\n");
  const std::vector<std::string> decode = {"complete", "failed"};
  listing.extra_heading = "decode";
  listing.extra_column = &decode;
  EXPECT_EQ(Written(ResultsFormat::kTsv, listing),
            "type\text\toffset\tlength\tdecode\n10\tjpeg\t1024\t5000\tcomplete\n"
            "16\tpng\t8192\t77\tfailed\n");
}

TEST(ResultsSerializer, Json) {
  const ScanResults results = TwoFinds();
  const std::vector<ByteRange> unreadable = {{4096, 512}};
  ResultsListing listing;
  listing.source = "a \"b\"\n";
  listing.sector_size = 512;
  listing.size = 65536;
  listing.results = &results;
  listing.unreadable = &unreadable;
  EXPECT_EQ(Written(ResultsFormat::kJson, listing),
            "{\n  \"source\": \"a \\\"b\\\"\\n\",\n  \"sector_size\": 512,\n  \"size\": 65536,\n"
            "  \"found_count\": 2,\n  \"files\": [\n"
            "    {\"type\": 10, \"ext\": \"jpeg\", \"offset\": 1024, \"length\": 5000},\n"
            "    {\"type\": 16, \"ext\": \"png\", \"offset\": 8192, \"length\": 77}\n  ],\n"
            "  \"tallies\": [\n"
            "    {\"type\": 10, \"ext\": \"jpeg\", \"count\": 1, \"total_bytes\": 5000},\n"
            "    {\"type\": 16, \"ext\": \"png\", \"count\": 1, \"total_bytes\": 77}\n  ],\n"
            "  \"unreadable\": [\n    {\"offset\": 4096, \"length\": 512}\n  ]\n}\n");
}

TEST(ResultsSerializer, EmptyJson) {
  ScanResults results;
  ResultsListing listing;
  listing.source = "x";
  listing.results = &results;
  EXPECT_EQ(Written(ResultsFormat::kJson, listing),
            "{\n  \"source\": \"x\",\n  \"sector_size\": 0,\n  \"size\": 0,\n"
            "  \"found_count\": 0,\n  \"files\": [],\n  \"tallies\": []\n}\n");
}

TEST(JsonEscape, ControlCharacters) {
  EXPECT_EQ(JsonEscape(std::string("a\tb\\c\x01\x7f", 7)), "a\\tb\\\\c\\u0001\\u007f");
}

}  // namespace
}  // namespace pictavo
