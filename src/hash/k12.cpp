// TurboSHAKE and the KangarooTwelve tree hashes of RFC 9861: the one-shot functions, the tree that
// takes input in place, and the streaming KT object with its buffer of four chunks, both on the
// leaf engine.
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
// Follows the first chunk in the final node when there are more chunks
// (before the first chaining value).
constexpr unsigned char kFirstChunkSuffix[8] = {0x03, 0, 0, 0, 0, 0, 0, 0};
// Ends the final node, after length_encode(chunks - 1).
constexpr unsigned char kFinalNodeEnd[2] = {0xFF, 0xFF};

// What tells KT128 from KT256: the sponge (its suffix is the single-node
// domain byte) and the chunks after the first, whose chaining values are
// the usual output, twice the strength.
struct Variant {
  const detail::HashAlgorithm& a;
  detail::LeafShape leaves;
};

constexpr Variant variant(const detail::HashAlgorithm& a) {
  return {a,
          {a.rate, a.rounds, kLeafDomain, kChunkSize, a.output, kFirstChunkSuffix,
           sizeof kFirstChunkSuffix}};
}
constexpr Variant kKt128 = variant(detail::kKt128);
constexpr Variant kKt256 = variant(detail::kKt256);

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

// ----------------------------------------------------------------------------
// The tree
// ----------------------------------------------------------------------------
//
// The final node absorbs the first chunk (S's first 8 KiB) as it comes; the
// chunks after it are leaves, whose chaining values follow it in the final
// node after the 0x03 0x00^7 that the leaf shape puts before the first one.
// KtStream and Tree below both take input with absorb_first_chunk() and
// differ only in where the later chunks wait: KtStream in its buffer of four
// chunks, Tree in a leaf sponge. A hash whose S fits in the first chunk is
// the single node, TurboSHAKE with KT's own domain byte.

// Absorbs into `final_node` what of the `size` bytes at `data` still belongs
// to the first chunk, of which `*consumed` bytes were taken before; adds the
// bytes taken to `*consumed` and returns their count.
std::size_t absorb_first_chunk(keccak::SpongeInstance* final_node, std::uint64_t* consumed,
                               const unsigned char* data, std::size_t size) {
  if (*consumed >= kChunkSize) return 0;
  const std::size_t take = std::min<std::size_t>(size, kChunkSize - *consumed);
  keccak::SpongeAbsorb(final_node, data, take);
  *consumed += take;
  return take;
}

// A KT hash in progress that takes input of any size in place, with no
// buffer: whole chunks from a chunk boundary go to absorb_leaves, anything
// else into a leaf sponge fed byte by byte.
class Tree {
 public:
  // Continues a tree whose final node holds the first chunk of the
  // `consumed` bytes so far and the chaining values of `chunks` chunks.
  Tree(const Variant& v, const keccak::SpongeInstance& final_node, std::uint64_t consumed,
       std::uint64_t chunks)
      : v_(v), final_node_(final_node), consumed_(consumed), chunks_(chunks) {}

  explicit Tree(const Variant& v) : v_(v) { turboshake_init(&final_node_, v.a.rate); }

  void absorb(const unsigned char* data, std::size_t size, util::ThreadPool* pool) {
    const std::size_t first = absorb_first_chunk(&final_node_, &consumed_, data, size);
    if (first == size) return;
    consumed_ += size - first;
    detail::feed_leaves(v_.leaves, cursor(), data + first, size - first, pool);
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
    detail::close_leaf(v_.leaves, cursor());
    keccak::SpongeAbsorb(&final_node_, encoded, length_encode(chunks_, encoded));
    keccak::SpongeAbsorb(&final_node_, kFinalNodeEnd, sizeof kFinalNodeEnd);
    keccak::SpongeAbsorbLastFewBits(&final_node_, kFinalNodeDomain);
    return XofReader(final_node_);
  }

 private:
  detail::LeafCursor cursor() { return {&final_node_, &chunks_, &leaf_, &leaf_fill_}; }

  const Variant& v_;
  keccak::SpongeInstance final_node_;
  keccak::SpongeInstance leaf_;
  std::uint64_t consumed_ = 0;
  std::uint64_t chunks_ = 0;
  std::size_t leaf_fill_ = 0;
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
  const std::size_t first = absorb_first_chunk(&final_node_, &consumed_, in, size);
  in += first;
  size -= first;
  consumed_ += size;
  if (buffered_ > 0) {
    const std::size_t take = std::min(size, kGroupSize - buffered_);
    std::memcpy(buffer_.get() + buffered_, in, take);
    buffered_ += take;
    in += take;
    size -= take;
    if (buffered_ < kGroupSize) return;
    detail::absorb_leaves(v.leaves, buffer_.get(), kGroupChunks, &final_node_, &chunks_, nullptr);
    buffered_ = 0;
  }
  const std::size_t direct = size / kGroupSize * kGroupChunks;
  detail::absorb_leaves(v.leaves, in, direct, &final_node_, &chunks_, pool_);
  in += direct * kChunkSize;
  size -= direct * kChunkSize;
  if (size > 0) {
    std::memcpy(buffer_.get(), in, size);
    buffered_ = size;
  }
}

XofReader KtStream::finalize(tamu::span<const unsigned char> customization) const noexcept {
  const Variant& v = variant_for(bits_);
  Tree tree(v, final_node_, consumed_ - buffered_, chunks_);
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
