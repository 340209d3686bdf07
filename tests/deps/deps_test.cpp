// The coder and the suffix sorter that the patch engine and maker build on:
// the libraries that this build links work, with headers of their own version.
#include <divsufsort.h>
#include <gtest/gtest.h>
#include <lzma.h>

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

// Machine-code-like data: filler instructions and relative calls (E8 rel32)
// to a few functions. Only the x86 filter, which turns the relative targets
// into absolute ones, makes the calls repeat.
Bytes callsOf(std::size_t size, std::uint32_t seed) {
  static const std::uint32_t functions[] = {0x1000, 0x2a40, 0x7f10, 0x9c00};
  Bytes out;
  while (out.size() + 8 < size) {
    seed = seed * 1664525u + 1013904223u;
    static const unsigned char filler[] = {0x55, 0x89, 0xe5, 0x31, 0xc0};
    out.insert(out.end(), filler, filler + 1 + (seed >> 29) % 5);
    const std::uint32_t rel =
        functions[(seed >> 12) % 4] - static_cast<std::uint32_t>(out.size() + 5);
    out.push_back(0xe8);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(rel >> (8 * i)));
  }
  out.resize(size, 0x90);
  return out;
}

// Runs a coder over all of `in` to its end; the last result, LZMA_STREAM_END
// on success.
lzma_ret runToEnd(lzma_stream& strm, const Bytes& in, Bytes& out) {
  out.assign(in.size() / 2 + 4096, 0);
  strm.next_in = in.data();
  strm.avail_in = in.size();
  strm.next_out = out.data();
  strm.avail_out = out.size();
  lzma_ret ret;
  while ((ret = lzma_code(&strm, LZMA_FINISH)) == LZMA_OK) {
    if (strm.avail_out == 0) {
      const std::size_t used = out.size();
      out.resize(used * 2);
      strm.next_out = out.data() + used;
      strm.avail_out = out.size() - used;
    }
  }
  out.resize(strm.total_out);
  lzma_end(&strm);
  return ret;
}

struct RawChain {
  lzma_options_lzma lzma{};
  lzma_filter filters[3];

  RawChain(const RawChain&) = delete;  // the filters point into it
  RawChain(lzma_vli coder, bool x86) {
    EXPECT_FALSE(lzma_lzma_preset(&lzma, 6));
    int i = 0;
    if (x86) filters[i++] = {LZMA_FILTER_X86, nullptr};
    filters[i++] = {coder, &lzma};
    filters[i] = {LZMA_VLI_UNKNOWN, nullptr};
  }
};

Bytes rawEncode(const RawChain& chain, const Bytes& in) {
  lzma_stream strm = LZMA_STREAM_INIT;
  Bytes out;
  EXPECT_EQ(lzma_raw_encoder(&strm, chain.filters), LZMA_OK);
  EXPECT_EQ(runToEnd(strm, in, out), LZMA_STREAM_END);
  return out;
}

// An .xz stream of x86 filter and LZMA2 (preset 6, 8 MiB dictionary) with
// a CRC64, in blocks of `blockSize` bytes on `threads` of the library's threads.
Bytes xzEncode(const Bytes& in, std::uint32_t threads, std::uint64_t blockSize) {
  RawChain chain(LZMA_FILTER_LZMA2, true);
  lzma_mt mt{};
  mt.threads = threads;
  mt.block_size = blockSize;
  mt.filters = chain.filters;
  mt.check = LZMA_CHECK_CRC64;
  lzma_stream strm = LZMA_STREAM_INIT;
  Bytes out;
  EXPECT_EQ(lzma_stream_encoder_mt(&strm, &mt), LZMA_OK);
  EXPECT_EQ(runToEnd(strm, in, out), LZMA_STREAM_END);
  return out;
}

lzma_ret xzDecode(const Bytes& in, Bytes& out, std::uint64_t memlimit = UINT64_MAX) {
  lzma_stream strm = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_stream_decoder(&strm, memlimit, LZMA_CONCATENATED), LZMA_OK);
  return runToEnd(strm, in, out);
}

std::vector<std::int32_t> suffixArray(const std::string& text) {
  std::vector<std::int32_t> sa(text.size());
  EXPECT_EQ(divsufsort(reinterpret_cast<const sauchar_t*>(text.data()), sa.data(),
                       static_cast<saidx_t>(text.size())),
            0);
  return sa;
}

TEST(LzmaLibrary, IsTheVersionOfItsHeader) {
  EXPECT_EQ(lzma_version_number(), static_cast<std::uint32_t>(LZMA_VERSION));
  EXPECT_STREQ(lzma_version_string(), LZMA_VERSION_STRING);
}

TEST(LzmaLibrary, RawLzma1AndLzma2RoundTripBehindTheX86Filter) {
  const Bytes code = callsOf(256 << 10, 5);
  for (lzma_vli coder : {LZMA_FILTER_LZMA1, LZMA_FILTER_LZMA2}) {
    SCOPED_TRACE(coder == LZMA_FILTER_LZMA1 ? "LZMA1" : "LZMA2");
    const RawChain chain(coder, true);
    const Bytes packed = rawEncode(chain, code);
    ASSERT_FALSE(packed.empty());
    // The filter is really in the chain: without it the calls do not repeat.
    EXPECT_LT(packed.size() * 2, rawEncode(RawChain(coder, false), code).size());

    lzma_stream strm = LZMA_STREAM_INIT;
    ASSERT_EQ(lzma_raw_decoder(&strm, chain.filters), LZMA_OK);
    Bytes back;
    EXPECT_EQ(runToEnd(strm, packed, back), LZMA_STREAM_END);
    EXPECT_TRUE(back == code);
  }
}

TEST(LzmaLibrary, XzStreamRoundTripsOnOneThreadAndOnSeveral) {
  Bytes data = wordsOf(768 << 10, 7);
  const Bytes code = callsOf(256 << 10, 9);
  data.insert(data.end(), code.begin(), code.end());
  // Several blocks at once: the library's own threads, the platform's on Windows.
  for (std::uint32_t threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    const Bytes packed = xzEncode(data, threads, 256 << 10);
    ASSERT_FALSE(packed.empty());
    EXPECT_LT(packed.size(), data.size() / 4);

    Bytes back;
    EXPECT_EQ(xzDecode(packed, back), LZMA_STREAM_END);
    EXPECT_TRUE(back == data);

    lzma_mt mt{};
    mt.threads = 2;
    mt.memlimit_threading = UINT64_MAX;
    mt.memlimit_stop = UINT64_MAX;
    lzma_stream strm = LZMA_STREAM_INIT;
    ASSERT_EQ(lzma_stream_decoder_mt(&strm, &mt), LZMA_OK);
    Bytes again;
    EXPECT_EQ(runToEnd(strm, packed, again), LZMA_STREAM_END);
    EXPECT_TRUE(again == data);
  }
}

TEST(LzmaLibrary, RefusesDamagedAndTruncatedStreams) {
  const Bytes data = wordsOf(256 << 10, 11);
  const Bytes packed = xzEncode(data, 1, 0);
  ASSERT_GT(packed.size(), 128u);
  Bytes back;

  Bytes damaged = packed;
  damaged[damaged.size() / 2] ^= 0x5a;  // inside the compressed data
  EXPECT_EQ(xzDecode(damaged, back), LZMA_DATA_ERROR);

  // One block: its CRC64 ends where the index begins, which the footer gives.
  lzma_stream_flags footer;
  ASSERT_EQ(
      lzma_stream_footer_decode(&footer, packed.data() + packed.size() - LZMA_STREAM_HEADER_SIZE),
      LZMA_OK);
  Bytes badCheck = packed;
  badCheck[packed.size() - LZMA_STREAM_HEADER_SIZE - footer.backward_size - 1] ^= 0x01;
  EXPECT_EQ(xzDecode(badCheck, back), LZMA_DATA_ERROR);

  const Bytes truncated(packed.begin(), packed.end() - 20);
  EXPECT_EQ(xzDecode(truncated, back), LZMA_BUF_ERROR);
}

TEST(LzmaLibrary, DecoderRefusesAStreamThatNeedsMoreMemoryThanItsLimit) {
  const Bytes data = wordsOf(512 << 10, 13);
  const Bytes packed = xzEncode(data, 1, 0);
  Bytes back;

  // The 8 MiB dictionary needs more than 1 MiB.
  lzma_stream strm = LZMA_STREAM_INIT;
  ASSERT_EQ(lzma_stream_decoder(&strm, 1 << 20, 0), LZMA_OK);
  const lzma_ret ret = runToEnd(strm, packed, back);
  EXPECT_EQ(ret, LZMA_MEMLIMIT_ERROR);
  EXPECT_TRUE(back.empty());

  EXPECT_EQ(xzDecode(packed, back, 16 << 20), LZMA_STREAM_END);
  EXPECT_TRUE(back == data);
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
