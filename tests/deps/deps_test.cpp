// The coder and the suffix sorter that the patch engine and maker build on:
// the libraries that this build links work, with headers of their own version.
#include <divsufsort.h>
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Text-like data: words from a small vocabulary, so that it compresses.
Bytes wordsOf(std::size_t size, std::uint32_t seed) {
  static const char* const words[] = {"patch ",  "file ",   "release ",
                                      "update ", "backup ", "delta "};
  Bytes out;
  while (out.size() < size) {
    seed = seed * 1664525u + 1013904223u;
    const char* w = words[(seed >> 16) % 6];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(size);
  return out;
}

Bytes compress(const Bytes& in, int workers) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  EXPECT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 9)));
  EXPECT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1)));
  if (workers > 0) {
    // Several jobs at once: the library's own threads, the platform's on Windows.
    EXPECT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, workers)));
    EXPECT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_jobSize, 512 << 10)));
  }
  Bytes out(ZSTD_compressBound(in.size()));
  std::size_t n = ZSTD_compress2(cctx, out.data(), out.size(), in.data(), in.size());
  ZSTD_freeCCtx(cctx);
  EXPECT_FALSE(ZSTD_isError(n)) << ZSTD_getErrorName(n);
  out.resize(ZSTD_isError(n) ? 0 : n);
  return out;
}

std::vector<std::int32_t> suffixArray(const std::string& text) {
  std::vector<std::int32_t> sa(text.size());
  EXPECT_EQ(divsufsort(reinterpret_cast<const sauchar_t*>(text.data()), sa.data(),
                       static_cast<saidx_t>(text.size())),
            0);
  return sa;
}

TEST(ZstdLibrary, IsTheVersionOfItsHeader) {
  EXPECT_EQ(ZSTD_versionNumber(), static_cast<unsigned>(ZSTD_VERSION_NUMBER));
  EXPECT_STREQ(ZSTD_versionString(), ZSTD_VERSION_STRING);
}

TEST(ZstdLibrary, RoundTripsABufferOnOneThreadAndOnWorkers) {
  const Bytes data = wordsOf(2 << 20, 7);
  for (int workers : {0, 2}) {
    SCOPED_TRACE(workers);
    const Bytes packed = compress(data, workers);
    ASSERT_FALSE(packed.empty());
    EXPECT_LT(packed.size(), data.size() / 4);
    EXPECT_EQ(ZSTD_getFrameContentSize(packed.data(), packed.size()), data.size());

    Bytes back(data.size());
    std::size_t n = ZSTD_decompress(back.data(), back.size(), packed.data(), packed.size());
    ASSERT_FALSE(ZSTD_isError(n)) << ZSTD_getErrorName(n);
    EXPECT_EQ(n, data.size());
    EXPECT_TRUE(back == data);
  }
}

TEST(ZstdLibrary, RejectsDamagedAndTruncatedFrames) {
  const Bytes data = wordsOf(64 << 10, 11);
  const Bytes packed = compress(data, 0);
  ASSERT_GT(packed.size(), 32u);
  Bytes back(data.size());

  Bytes truncated(packed.begin(), packed.end() - 8);
  EXPECT_TRUE(
      ZSTD_isError(ZSTD_decompress(back.data(), back.size(), truncated.data(), truncated.size())));

  Bytes damaged = packed;
  damaged[damaged.size() - 2] ^= 0x5a;  // the content checksum
  EXPECT_TRUE(
      ZSTD_isError(ZSTD_decompress(back.data(), back.size(), damaged.data(), damaged.size())));

  Bytes small(data.size() - 1);
  EXPECT_TRUE(
      ZSTD_isError(ZSTD_decompress(small.data(), small.size(), packed.data(), packed.size())));
}

TEST(DivsufsortLibrary, SortsTheSuffixesOfAWord) {
  EXPECT_EQ(suffixArray("banana"), (std::vector<std::int32_t>{5, 3, 1, 0, 4, 2}));
  EXPECT_EQ(suffixArray("a"), (std::vector<std::int32_t>{0}));
}

TEST(DivsufsortLibrary, AgreesWithANaiveSortOnRepetitiveText) {
  std::string text;
  std::uint32_t seed = 3;
  for (int i = 0; i < 4000; ++i) {
    seed = seed * 1664525u + 1013904223u;
    text += "ab\0c"[(seed >> 20) % 4];  // NUL bytes too, as in binaries
  }
  text += text.substr(0, 1500);  // long repeats: the sorter's harder cases

  std::vector<std::int32_t> naive(text.size());
  std::iota(naive.begin(), naive.end(), 0);
  std::sort(naive.begin(), naive.end(), [&](std::int32_t a, std::int32_t b) {
    return text.compare(a, std::string::npos, text, b, std::string::npos) < 0;
  });
  EXPECT_EQ(suffixArray(text), naive);
}

}  // namespace
