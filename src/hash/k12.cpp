// TurboSHAKE and the KangarooTwelve tree hashes of RFC 9861: the one-shot functions, the tree that
// takes input in place, and the streaming KT object with its buffer of four chunks.
#include "vexo/util/k12.hpp"

#include <algorithm>
#include <cstring>

#include "leaf_engine.hpp"
#include "sponge.hpp"
#include "tamu/cat.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/keccak.hpp"

namespace vexo {

namespace {

// ----------------------------------------------------------------------------
// Parameters
// ----------------------------------------------------------------------------

constexpr std::size_t kChunkSize = 8192;
// Chunks that KtStream buffers before it hashes them, four at a time on the
// interleaved states.
constexpr std::size_t kGroupChunks = 4;
constexpr std::size_t kGroupSize = kGroupChunks * kChunkSize;
// Domain bytes of RFC 9861.
constexpr unsigned char kLeafDomain = 0x0B;
constexpr unsigned char kFinalNodeDomain = 0x06;
// Follows the first chunk in the final node when there are more chunks.
constexpr unsigned char kFirstChunkSuffix[8] = {0x03, 0, 0, 0, 0, 0, 0, 0};
// Ends the final node, after length_encode(chunks - 1).
constexpr unsigned char kFinalNodeEnd[2] = {0xFF, 0xFF};

// What tells KT128 from KT256: the sponge (its suffix is the single-node
// domain byte) and the chunks after the first, whose chaining values are
// the usual output, twice the strength.
struct Variant {
  const detail::HashAlgorithm& a;
  std::size_t cv_size;
  detail::LeafShape leaves;
};

constexpr Variant variant(const detail::HashAlgorithm& a) {
  return {a, a.output, {a.rate, a.rounds, kLeafDomain, kChunkSize, a.output}};
}
constexpr Variant kKt128 = variant(detail::kKt128);
constexpr Variant kKt256 = variant(detail::kKt256);
constexpr std::size_t kMaxCvSize = 64;

const Variant& variant_for(unsigned int bits) { return bits == 256 ? kKt256 : kKt128; }

bool is_domain(unsigned char domain) { return domain >= 0x01 && domain <= 0x7F; }

// Resets `sponge` to an empty TurboSHAKE sponge of the given rate.
void turboshake_init(keccak::SpongeInstance* sponge, unsigned int rate) {
  detail::init_sponge(sponge, rate, detail::kTurboShake128.rounds);
}

bool turboshake(const detail::HashAlgorithm& a, tamu::span<const unsigned char> input,
                unsigned char domain, tamu::span<unsigned char> output) {
  if (!is_domain(domain)) return false;
  keccak::SpongeInstance sponge;
  turboshake_init(&sponge, a.rate);
  keccak::SpongeAbsorb(&sponge, input.data(), input.size());
  keccak::SpongeAbsorbLastFewBits(&sponge, domain);
  keccak::SpongeSqueeze(&sponge, output.data(), output.size());
  return true;
}

// Writes length_encode(value) of RFC 9861 to `out` (at most 9 bytes): the
// big-endian bytes of value without leading zeros, then their count.
std::size_t length_encode(std::uint64_t value, unsigned char* out) {
  std::size_t n = 0;
  for (std::uint64_t rest = value; rest != 0; rest >>= 8) ++n;
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<unsigned char>(value >> (8 * (n - 1 - i)));
  }
  out[n] = static_cast<unsigned char>(n);
  return n + 1;
}

// Absorbs the chaining values of `count` whole chunks into `final_node`, in
// order, using `pool` for long runs.
void absorb_leaves(const Variant& v, keccak::SpongeInstance* final_node, std::uint64_t* chunks_done,
                   const unsigned char* chunks, std::size_t count, util::ThreadPool* pool) {
  detail::absorb_leaves(v.leaves, chunks, count, final_node, pool);
  *chunks_done += count;
}

// ----------------------------------------------------------------------------
// The tree
// ----------------------------------------------------------------------------

// A KT hash in progress that takes input of any size in place, with no
// buffer: the first chunk goes into the final node, whole chunks from a chunk
// boundary go to absorb_leaves, and anything else into a leaf sponge fed byte
// by byte.
class Tree {
 public:
  Tree(const Variant& v, const keccak::SpongeInstance& final_node, std::uint64_t consumed,
       std::uint64_t chunks, bool first_chunk_closed)
      : v_(v),
        final_node_(final_node),
        consumed_(consumed),
        chunks_(chunks),
        first_chunk_closed_(first_chunk_closed) {}

  explicit Tree(const Variant& v) : v_(v) { turboshake_init(&final_node_, v.a.rate); }

  void absorb(const unsigned char* data, std::size_t size, util::ThreadPool* pool) {
    if (consumed_ < kChunkSize) {
      const std::size_t take = std::min<std::size_t>(size, kChunkSize - consumed_);
      keccak::SpongeAbsorb(&final_node_, data, take);
      consumed_ += take;
      data += take;
      size -= take;
    }
    if (size == 0) return;
    if (!first_chunk_closed_) {
      keccak::SpongeAbsorb(&final_node_, kFirstChunkSuffix, sizeof kFirstChunkSuffix);
      first_chunk_closed_ = true;
    }
    while (size > 0) {
      if (leaf_fill_ == 0 && size >= kChunkSize) {
        const std::size_t count = size / kChunkSize;
        absorb_leaves(v_, &final_node_, &chunks_, data, count, pool);
        consumed_ += count * kChunkSize;
        data += count * kChunkSize;
        size -= count * kChunkSize;
        continue;
      }
      if (leaf_fill_ == 0) turboshake_init(&leaf_, v_.a.rate);
      const std::size_t take = std::min(size, kChunkSize - leaf_fill_);
      keccak::SpongeAbsorb(&leaf_, data, take);
      leaf_fill_ += take;
      consumed_ += take;
      data += take;
      size -= take;
      if (leaf_fill_ == kChunkSize) close_leaf();
    }
  }

  // Absorbs the customization string and its length, pads the final node,
  // and returns the reader of the output.
  XofReader finish(tamu::span<const unsigned char> customization) {
    absorb(customization.data(), customization.size(), nullptr);
    unsigned char encoded[9];
    absorb(encoded, length_encode(customization.size(), encoded), nullptr);
    if (consumed_ <= kChunkSize) {
      keccak::SpongeAbsorbLastFewBits(&final_node_, v_.a.suffix);
      return XofReader(final_node_);
    }
    if (leaf_fill_ > 0) close_leaf();
    keccak::SpongeAbsorb(&final_node_, encoded, length_encode(chunks_, encoded));
    keccak::SpongeAbsorb(&final_node_, kFinalNodeEnd, sizeof kFinalNodeEnd);
    keccak::SpongeAbsorbLastFewBits(&final_node_, kFinalNodeDomain);
    return XofReader(final_node_);
  }

 private:
  void close_leaf() {
    unsigned char cv[kMaxCvSize];
    detail::finish_sponge(leaf_, kLeafDomain, cv, v_.cv_size);
    keccak::SpongeAbsorb(&final_node_, cv, v_.cv_size);
    ++chunks_;
    leaf_fill_ = 0;
  }

  const Variant& v_;
  keccak::SpongeInstance final_node_;
  keccak::SpongeInstance leaf_;
  std::uint64_t consumed_ = 0;
  std::uint64_t chunks_ = 0;
  std::size_t leaf_fill_ = 0;
  bool first_chunk_closed_ = false;
};

bool kt(const Variant& v, tamu::span<const unsigned char> input,
        tamu::span<const unsigned char> customization, tamu::span<unsigned char> output,
        util::ThreadPool* pool) {
  Tree tree(v);
  tree.absorb(input.data(), input.size(), pool);
  tree.finish(customization).read(output);
  return true;
}

}  // namespace

// ----------------------------------------------------------------------------
// One-shot functions
// ----------------------------------------------------------------------------

bool turboshake_128(tamu::span<const unsigned char> input, unsigned char domain,
                    tamu::span<unsigned char> output) {
  return turboshake(detail::kTurboShake128, input, domain, output);
}

bool turboshake_256(tamu::span<const unsigned char> input, unsigned char domain,
                    tamu::span<unsigned char> output) {
  return turboshake(detail::kTurboShake256, input, domain, output);
}

bool kt_128(tamu::span<const unsigned char> input, tamu::span<const unsigned char> customization,
            tamu::span<unsigned char> output, util::ThreadPool* pool) {
  return kt(kKt128, input, customization, output, pool);
}

bool kt_256(tamu::span<const unsigned char> input, tamu::span<const unsigned char> customization,
            tamu::span<unsigned char> output, util::ThreadPool* pool) {
  return kt(kKt256, input, customization, output, pool);
}

// ----------------------------------------------------------------------------
// Streaming objects
// ----------------------------------------------------------------------------

namespace detail {

unsigned char checked_turboshake_domain(unsigned char domain) {
  if (!is_domain(domain)) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const char hex[3] = {kDigits[domain >> 4], kDigits[domain & 15], '\0'};
    throw Error(tamu::cat("Invalid TurboSHAKE domain byte: 0x", hex));
  }
  return domain;
}

KtStream::KtStream(unsigned int bits, util::ThreadPool* pool)
    : pool_(pool), bits_(bits == 256 ? 256 : 128) {
  turboshake_init(&final_node_, variant_for(bits_).a.rate);
}

KtStream::KtStream(const KtStream& other)
    : final_node_(other.final_node_),
      consumed_(other.consumed_),
      chunks_(other.chunks_),
      buffered_(other.buffered_),
      pool_(other.pool_),
      bits_(other.bits_) {
  if (other.buffer_) {
    buffer_.reset(new unsigned char[kGroupSize]);
    std::memcpy(buffer_.get(), other.buffer_.get(), buffered_);
  }
}

KtStream& KtStream::operator=(const KtStream& other) {
  if (this != &other) {
    KtStream copy(other);
    *this = std::move(copy);
  }
  return *this;
}

KtStream::KtStream(KtStream&& other) noexcept
    : final_node_(other.final_node_),
      consumed_(other.consumed_),
      chunks_(other.chunks_),
      buffered_(other.buffered_),
      buffer_(std::move(other.buffer_)),
      pool_(other.pool_),
      bits_(other.bits_) {
  other.reset();
}

KtStream& KtStream::operator=(KtStream&& other) noexcept {
  if (this != &other) {
    final_node_ = other.final_node_;
    consumed_ = other.consumed_;
    chunks_ = other.chunks_;
    buffered_ = other.buffered_;
    buffer_ = std::move(other.buffer_);
    pool_ = other.pool_;
    bits_ = other.bits_;
    other.reset();
  }
  return *this;
}

KtStream::~KtStream() = default;

void KtStream::update(tamu::span<const unsigned char> data) {
  const Variant& v = variant_for(bits_);
  const unsigned char* in = data.data();
  std::size_t size = data.size();
  // Allocated first, so that a failure leaves the object as it was.
  if (!buffer_ && size > 0 && (consumed_ + size > kChunkSize)) {
    buffer_.reset(new unsigned char[kGroupSize]);
  }
  if (consumed_ < kChunkSize) {
    const std::size_t take = std::min<std::size_t>(size, kChunkSize - consumed_);
    keccak::SpongeAbsorb(&final_node_, in, take);
    consumed_ += take;
    in += take;
    size -= take;
  }
  if (size == 0) return;
  if (consumed_ == kChunkSize) {
    // The first byte after the first chunk: there is a tree.
    keccak::SpongeAbsorb(&final_node_, kFirstChunkSuffix, sizeof kFirstChunkSuffix);
  }
  if (buffered_ > 0) {
    const std::size_t take = std::min(size, kGroupSize - buffered_);
    std::memcpy(buffer_.get() + buffered_, in, take);
    buffered_ += take;
    consumed_ += take;
    in += take;
    size -= take;
    if (buffered_ < kGroupSize) return;
    absorb_leaves(v, &final_node_, &chunks_, buffer_.get(), kGroupChunks, nullptr);
    buffered_ = 0;
  }
  const std::size_t direct = size / kGroupSize * kGroupChunks;
  absorb_leaves(v, &final_node_, &chunks_, in, direct, pool_);
  consumed_ += direct * kChunkSize;
  in += direct * kChunkSize;
  size -= direct * kChunkSize;
  if (size > 0) {
    std::memcpy(buffer_.get(), in, size);
    buffered_ = size;
    consumed_ += size;
  }
}

XofReader KtStream::finalize(tamu::span<const unsigned char> customization) const noexcept {
  const Variant& v = variant_for(bits_);
  Tree tree(v, final_node_, consumed_ - buffered_, chunks_, consumed_ > kChunkSize);
  tree.absorb(buffer_.get(), buffered_, nullptr);
  return tree.finish(customization);
}

void KtStream::reset() noexcept {
  turboshake_init(&final_node_, variant_for(bits_).a.rate);
  consumed_ = 0;
  chunks_ = 0;
  buffered_ = 0;
}

}  // namespace detail

}  // namespace vexo
