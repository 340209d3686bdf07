// Serialisation of the patch container (layout in docs/patch-format.md).
#include <lzma.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "big_buffer.h"
#include "both.h"
#include "rtp/bytes.h"
#include "rtp/maker.h"

namespace rtp {

namespace {

// Final streams: the strongest preset. Choosing between encodings needs a
// ranking, not the last byte: a faster preset on a small dictionary, so
// estimating a large file costs little time and memory.
constexpr std::uint32_t kLevel = 9 | LZMA_PRESET_EXTREME;
// A joined section holds at most 64 KiB, where 9e's longer matches find
// nothing and its numbers code larger: 9 took an EFI image's from 3,639
// to 3,614 bytes and a 4 MiB image's from 24,648 to 24,622.
constexpr std::uint32_t kJoinedLevel = 9;
constexpr std::uint32_t kEstimateLevel = 1;
constexpr std::uint32_t kEstimateDictionary = 1u << 20;
constexpr std::size_t kContextSample = 256u << 10;
// Streams are coded on two threads while each side has this many bytes:
// 2 KiB take a fifth of a millisecond at the strongest preset.
constexpr std::size_t kAtOnceFrom = 2u << 10;

void putHash(std::vector<unsigned char>& out, const Hash128& h) {
  bytes::putLe(out, h.low, 8);
  bytes::putLe(out, h.high, 8);
}

// The coder of one thread, set up again for each stream: liblzma then keeps
// its tables, where a fresh coder would fault in a MiB or more of new pages
// for every stream.
//
// Its match finder takes several times its dictionary in tables: the large
// ones (a large stream's, tens of MiB) go where the maker's other large
// buffers go. The first ones that fit take a huge page of the coder's own:
// a small file's coder faulted in some 130 pages of 4 KiB for them, each a
// fault, dear on a virtual machine. The rest are malloc's.
//
// liblzma frees tables and asks for new ones whenever a stream's dictionary
// is not the last one's. The blocks it frees while it is set up again are
// given back to it there when large enough and not twice as large; those
// that fit no table are freed before a fresh one is taken, so memory never
// peaks higher for them.
class Encoder {
 public:
  Encoder() : tables_{take, give, this} { stream_.allocator = &tables_; }
  ~Encoder() { lzma_end(&stream_); }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  lzma_stream& setUp(const lzma_filter* filters, lzma_ret& rc) {
    settingUp_ = true;
    rc = lzma_raw_encoder(&stream_, filters);
    settingUp_ = false;
    releaseSpares();
    return stream_;
  }

 private:
  static constexpr std::size_t kLarge = std::size_t(8) << 20;

  static void* take(void* self, std::size_t count, std::size_t size) {
    return static_cast<Encoder*>(self)->take(count, size);
  }
  static void give(void* self, void* p) { static_cast<Encoder*>(self)->give(p); }

  void* take(std::size_t count, std::size_t size) {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    const std::size_t bytes = std::max<std::size_t>(count * size, 1);
    std::size_t best = spares_;
    for (std::size_t i = 0; i < spares_; ++i) {
      const std::size_t has = sizeOf(spare_[i]);
      if (has >= bytes && has / 2 <= bytes && (best == spares_ || has < sizeOf(spare_[best])))
        best = i;
    }
    if (best != spares_) {
      void* p = spare_[best];
      spare_[best] = spare_[--spares_];
      return p;
    }
    releaseSpares();
    if (void* p = page_.take(bytes)) return p;
    if (bytes < kLarge) return std::malloc(bytes);
    try {
      return bigAlloc(bytes);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }

  void give(void* p) {
    if (settingUp_ && p && spares_ < std::size(spare_))
      spare_[spares_++] = p;
    else
      release(p);
  }

  std::size_t sizeOf(void* p) const {
    if (page_.holds(p)) return page_.sizeOf(p);
#ifdef _WIN32
    return _msize(p);
#else
    return malloc_usable_size(p);
#endif
  }

  void release(void* p) {
    if (!page_.give(p)) bigFree(p);
  }
  void releaseSpares() {
    while (spares_ > 0) release(spare_[--spares_]);
  }

  lzma_stream stream_ = LZMA_STREAM_INIT;
  lzma_allocator tables_;
  HugePage page_;
  bool settingUp_ = false;
  std::size_t spares_ = 0;
  void* spare_[4];
};

// One raw LZMA2 stream and the dictionary it was made with; no bytes and
// no dictionary for an empty stream.
struct Coded {
  std::vector<unsigned char> bytes;
  std::uint32_t dictionary = 0;
};

// Bytes of the command, position and difference streams depend little on
// the byte before them: one bit of it as literal context measured smallest.
enum class Kind { Bytes, Numbers };

// The dictionary is the type's largest, or smaller when the data is: the
// section declares it, and both the encoder's and the engine's decoder's
// memory follow it.
Coded compress(const unsigned char* raw, std::size_t size, std::uint32_t level,
               std::uint32_t dictionary, Kind kind = Kind::Bytes) {
  if (size == 0) return {};
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, level)) throw MakeError("bad LZMA preset");
  options.dict_size = dictionary;
  if (kind == Kind::Numbers) {
    options.lc = 1;
    options.lp = 0;
    options.pb = 0;
  }
  while (options.dict_size / 2 >= size && options.dict_size / 2 >= LZMA_DICT_SIZE_MIN)
    options.dict_size /= 2;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  static thread_local Encoder encoder;
  std::vector<unsigned char> out(size + size / 16 + 1024);
  lzma_ret rc;
  lzma_stream& z = encoder.setUp(filters, rc);
  if (rc == LZMA_OK) {
    z.next_in = raw;
    z.avail_in = size;
    z.next_out = out.data();
    z.avail_out = out.size();
    rc = lzma_code(&z, LZMA_FINISH);
  }
  if (rc != LZMA_STREAM_END)
    throw MakeError("LZMA2 encoding failed (" + std::to_string(static_cast<int>(rc)) + ")");
  out.resize(out.size() - z.avail_out);
  return {std::move(out), options.dict_size};
}

Coded compress(const std::vector<unsigned char>& raw, std::uint32_t level, std::uint32_t dictionary,
               Kind kind = Kind::Bytes) {
  return compress(raw.data(), raw.size(), level, dictionary, kind);
}

// A ranking codes the same bytes more than once at the fast preset (the
// chosen delta's streams were ranked among its candidates before they are
// ranked for their literal context): the last few sizes are kept by content.
std::uint64_t fastSize(const unsigned char* raw, std::size_t size, std::uint32_t dictionary,
                       Kind kind) {
  struct Ranked {
    Hash128 content;
    std::size_t size;
    std::uint32_t dictionary;
    Kind kind;
    std::uint64_t coded;
  };
  constexpr std::size_t kKept = 16;
  // Shared by the threads: the winner of candidates ranked at once is
  // ranked again by the thread that goes on.
  static std::mutex lock;
  static std::vector<Ranked> kept;
  const Hash128 content = hashBytes(raw, size);
  {
    const std::lock_guard<std::mutex> held(lock);
    for (const Ranked& r : kept)
      if (r.content == content && r.size == size && r.dictionary == dictionary && r.kind == kind)
        return r.coded;
  }
  const std::uint64_t coded = compress(raw, size, kEstimateLevel, dictionary, kind).bytes.size();
  const std::lock_guard<std::mutex> held(lock);
  if (kept.size() == kKept) kept.erase(kept.begin());
  kept.push_back({content, size, dictionary, kind, coded});
  return coded;
}

std::uint64_t estimate(const std::vector<unsigned char>& raw) {
  return fastSize(raw.data(), raw.size(), std::min(kEstimateDictionary, format::kStreamDictionary),
                  Kind::Numbers);
}

// Which literal context codes a stream smaller depends on its data (a large
// delta's positions code smaller with that of bytes): ranked at the fast
// preset on the first bytes, with what the stream costs there.
struct Rough {
  std::uint64_t size;
  Kind kind;
};
Rough rough(const std::vector<unsigned char>& raw, std::uint32_t dictionary) {
  const std::size_t sample = std::min<std::size_t>(raw.size(), kContextSample);
  const std::uint32_t dict = std::min(kEstimateDictionary, dictionary);
  const std::uint64_t bytes = fastSize(raw.data(), sample, dict, Kind::Bytes);
  const std::uint64_t numbers = fastSize(raw.data(), sample, dict, Kind::Numbers);
  return bytes < numbers ? Rough{bytes, Kind::Bytes} : Rough{numbers, Kind::Numbers};
}

std::vector<unsigned char> encodeOps(const std::vector<PatchOp>& ops) {
  std::vector<unsigned char> out;
  for (const PatchOp& op : ops) {
    out.push_back(static_cast<unsigned char>(op.kind));
    out.push_back(static_cast<unsigned char>(op.encoding));
    bytes::putLe(out, op.path.size(), 2);
    bytes::putLe(out, op.mode, 4);
    bytes::putLe(out, op.oldSize, 8);
    putHash(out, op.oldHash);
    bytes::putLe(out, op.newSize, 8);
    putHash(out, op.newHash);
    out.insert(out.end(), op.path.begin(), op.path.end());
    if (namesReference(op)) {
      bytes::putLe(out, op.reference.size(), 2);
      out.insert(out.end(), op.reference.begin(), op.reference.end());
    }
  }
  return out;
}

}  // namespace

void PatchStreams::append(const PatchStreams& o) {
  literals.insert(literals.end(), o.literals.begin(), o.literals.end());
  commands.insert(commands.end(), o.commands.begin(), o.commands.end());
  positions.insert(positions.end(), o.positions.begin(), o.positions.end());
  differences.insert(differences.end(), o.differences.begin(), o.differences.end());
}

std::uint64_t compressedSize(const PatchStreams& s) {
  return compressedSize(s.literals.data(), s.literals.size()) + estimate(s.commands) +
         estimate(s.positions) + estimate(s.differences);
}

std::uint64_t compressedSize(const unsigned char* content, std::size_t size) {
  return fastSize(content, size, std::min(kEstimateDictionary, format::kLiteralsDictionary),
                  Kind::Bytes);
}

namespace {

using Sections = std::vector<std::pair<std::uint32_t, Coded>>;

// The header, the signature block (unsigned: the signer fills it in) and
// the sections; an empty stream costs nothing: it is not listed.
std::vector<unsigned char> assemble(format::Header header, const Sections& sections) {
  for (const auto& [type, coded] : sections) {
    if (coded.bytes.empty()) continue;
    format::Section s;
    s.type = type;
    s.range.dictionary = coded.dictionary;
    s.range.length = coded.bytes.size();
    s.range.sha256 = crypto::sha256(coded.bytes.data(), coded.bytes.size());
    header.sections.push_back(s);
  }
  format::fitFileSize(header);
  std::vector<unsigned char> out = format::writeHeader(header);
  out.resize(out.size() + format::kSignatureBlockSize, 0);
  for (const auto& s : sections)
    out.insert(out.end(), s.second.bytes.begin(), s.second.bytes.end());
  return out;
}

// Streams in one, as the small-patch and small-streams sections hold them,
// or nothing when they are over the engine's bound or hold nothing.
std::vector<unsigned char> joinedStreams(
    const std::vector<const std::vector<unsigned char>*>& parts) {
  std::vector<unsigned char> raw;
  std::size_t total = 0;
  for (const auto* part : parts) {
    bytes::putVarint(raw, part->size());
    total += part->size();
  }
  if (total == 0 || total > format::kMaxSmallStreams) return {};
  for (const auto* part : parts) raw.insert(raw.end(), part->begin(), part->end());
  if (raw.size() > format::kMaxSmallStreams) return {};
  return raw;
}

}  // namespace

// A small patch's records and streams share one coder where that makes the
// whole patch smaller: a section of its own costs each a table entry (35
// bytes or so) and a coder's flush and end marker. Records too many to join
// leave the four streams to share one. The two ways are ranked at the fast
// preset and only the better one coded at the strongest: coding both there
// made a 4 MiB image's make a third slower. The strongest coding, the
// slowest step of the make after the matching, runs on two threads.
std::vector<unsigned char> buildPatch(const std::vector<PatchOp>& ops, const PatchStreams& streams,
                                      const Binding& binding) {
  constexpr std::uint64_t kEntry = 35;
  format::Header header;
  header.binding = binding;
  header.opCount = static_cast<std::uint32_t>(ops.size());
  for (const PatchOp& op : ops) header.totalNewBytes += op.newSize;
  struct Part {
    std::uint32_t type;
    const std::vector<unsigned char>* raw;
    Kind kind;
    Coded coded;
    std::uint32_t level = kLevel;
  };
  const std::vector<unsigned char> opsRaw = encodeOps(ops);
  Part opsPart{format::kSectionOps, &opsRaw, Kind::Bytes, {}};
  Part data[] = {{format::kSectionLiterals, &streams.literals, Kind::Bytes, {}},
                 {format::kSectionCommands, &streams.commands, Kind::Bytes, {}},
                 {format::kSectionPositions, &streams.positions, Kind::Bytes, {}},
                 {format::kSectionDifferences, &streams.differences, Kind::Bytes, {}}};
  auto code = [](Part& p) {
    p.coded = compress(*p.raw, p.level, format::maxDictionary(p.type), p.kind);
  };
  auto assembled = [&](std::initializer_list<Part*> kept) {
    Sections sections;
    for (Part* p : kept) sections.emplace_back(p->type, std::move(p->coded));
    return assemble(header, sections);
  };

  auto join = [&](bool records) {
    std::vector<const std::vector<unsigned char>*> parts;
    if (records) parts.push_back(&opsRaw);
    for (const Part& p : data) parts.push_back(p.raw);
    return joinedStreams(parts);
  };
  std::vector<unsigned char> joinedRaw = join(true);
  const bool withRecords = !joinedRaw.empty();
  if (!withRecords) joinedRaw = join(false);
  Part joined{withRecords ? format::kSectionSmallPatch : format::kSectionSmallStreams,
              &joinedRaw,
              Kind::Numbers,
              {},
              kJoinedLevel};
  // A joined stream large enough to pay for the helper is coded, as numbers
  // (which ranked smaller on every small patch measured), while the two
  // ways are ranked: most small patches take that one.
  const bool guessed = joinedRaw.size() >= kAtOnceFrom;
  std::uint64_t separate = 0;
  Rough one{0, Kind::Numbers};
  both(
      guessed,
      [&] {
        if (withRecords)
          separate += rough(opsRaw, format::kOpsDictionary).size + kEntry;
        else
          code(opsPart);
        for (Part& p : data) {
          const Rough r = rough(*p.raw, format::maxDictionary(p.type));
          p.kind = r.kind;
          if (!p.raw->empty()) separate += r.size + kEntry;
        }
        if (!joinedRaw.empty()) one = rough(joinedRaw, format::kMaxSmallStreams);
      },
      [&] {
        if (guessed) code(joined);
      });
  if (!joinedRaw.empty() && one.size + kEntry < separate) {
    if (!guessed || one.kind != joined.kind) {
      joined.kind = one.kind;
      code(joined);
    }
    if (joined.coded.bytes.size() <= format::kMaxSmallStreamsStored)
      return withRecords ? assembled({&joined}) : assembled({&opsPart, &joined});
  }
  // Each stream on the side with fewer bytes to code so far, the largest
  // first.
  std::vector<Part*> sides[2];
  std::size_t load[2] = {0, 0};
  std::vector<Part*> order = {&data[0], &data[1], &data[2], &data[3]};
  if (withRecords) order.push_back(&opsPart);  // not coded yet
  std::stable_sort(order.begin(), order.end(),
                   [](const Part* a, const Part* b) { return a->raw->size() > b->raw->size(); });
  for (Part* p : order) {
    const int side = load[1] < load[0];
    sides[side].push_back(p);
    load[side] += p->raw->size();
  }
  auto codeSide = [&](int side) {
    for (Part* p : sides[side]) code(*p);
  };
  both(
      std::min(load[0], load[1]) >= kAtOnceFrom, [&] { codeSide(0); }, [&] { codeSide(1); });
  return assembled({&opsPart, &data[0], &data[1], &data[2], &data[3]});
}

}  // namespace rtp
