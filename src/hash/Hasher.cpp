// Hasher: the streaming objects behind one run-time choice.
#include "vexo/util/Hasher.hpp"

#include <algorithm>
#include <array>
#include <type_traits>
#include <utility>
#include <variant>

#include "tamu/cat.hpp"
#include "vexo/util/cshake.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/k12.hpp"

namespace vexo {

namespace {

constexpr std::size_t kParallelHashBlock = 8192;

constexpr auto kNames = [] {
  std::array<std::string_view, detail::kHashAlgorithms.size()> names{};
  for (std::size_t i = 0; i < names.size(); ++i) names[i] = detail::kHashAlgorithms[i]->name;
  return names;
}();

// ASCII letters compared without case, as sha3sum -a and OpenSSL take names.
bool same_name(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

using State =
    std::variant<Sha3_224, Sha3_256, Sha3_384, Sha3_512, Shake128, Shake256, TurboShake128,
                 TurboShake256, Kt128, Kt256, Keccak256, ParallelHash128, ParallelHash256>;
static_assert(std::variant_size_v<State> == kNames.size());

// The state of the function at `index` in kNames: the variant's alternative
// of that index, with the pool for the tree hashes and ParallelHash's block
// size.
template <std::size_t I>
State make_alternative(util::ThreadPool* pool) {
  using T = std::variant_alternative_t<I, State>;
  if constexpr (std::is_constructible_v<T, std::size_t, ByteSpan, util::ThreadPool*>) {
    return State(std::in_place_index<I>, kParallelHashBlock, ByteSpan{}, pool);
  } else if constexpr (std::is_constructible_v<T, util::ThreadPool*>) {
    return State(std::in_place_index<I>, pool);
  } else {
    return State(std::in_place_index<I>);
  }
}

State make_state(std::size_t index, util::ThreadPool* pool) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    static constexpr State (*kMakers[])(util::ThreadPool*) = {&make_alternative<I>...};
    return kMakers[index](pool);
  }
  (std::make_index_sequence<std::variant_size_v<State>>{});
}

template <typename T>
constexpr bool kFixedSize = requires {
  T::digest_size;
};

template <typename T>
constexpr bool kParallelHash =
    std::is_same_v<T, ParallelHash128> || std::is_same_v<T, ParallelHash256>;

}  // namespace

struct Hasher::Impl {
  State state;
  std::size_t index;
};

Hasher::Hasher(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}

std::optional<Hasher> Hasher::by_name(std::string_view name, util::ThreadPool* pool) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (same_name(kNames[i], name))
      return Hasher(std::make_unique<Impl>(Impl{make_state(i, pool), i}));
  }
  return std::nullopt;
}

tamu::span<const std::string_view> Hasher::names() noexcept { return kNames; }

Hasher::Hasher(const Hasher& other) : impl_(std::make_unique<Impl>(*other.impl_)) {}

Hasher& Hasher::operator=(const Hasher& other) {
  if (this != &other) impl_ = std::make_unique<Impl>(*other.impl_);
  return *this;
}

Hasher::Hasher(Hasher&& other) noexcept = default;
Hasher& Hasher::operator=(Hasher&& other) noexcept = default;
Hasher::~Hasher() = default;

std::string_view Hasher::name() const noexcept { return kNames[impl_->index]; }

std::size_t Hasher::digest_size() const noexcept {
  return detail::kHashAlgorithms[impl_->index]->output;
}

bool Hasher::extendable() const noexcept {
  return detail::kHashAlgorithms[impl_->index]->extendable;
}

void Hasher::update(tamu::span<const unsigned char> data) {
  std::visit([data](auto& s) { s.update(data); }, impl_->state);
}

void Hasher::finalize(tamu::span<unsigned char> output) const {
  std::visit(
      [&](const auto& s) {
        using T = std::decay_t<decltype(s)>;
        if constexpr (kFixedSize<T>) {
          if (output.size() != T::digest_size) {
            throw Error(tamu::cat(tamu::cat("Invalid output length for ", name(), ": "),
                                  output.size(), tamu::cat(" bytes, expected ", T::digest_size)));
          }
          s.finalize(tamu::span<unsigned char, T::digest_size>(output.data(), T::digest_size));
        } else if constexpr (kParallelHash<T>) {
          s.finalize(output);  // binds the output length
        } else {
          s.finalize_xof().read(output);
        }
      },
      impl_->state);
}

XofReader Hasher::finalize_xof() const {
  return std::visit(
      [&](const auto& s) -> XofReader {
        using T = std::decay_t<decltype(s)>;
        if constexpr (kFixedSize<T>) {
          throw Error(tamu::cat(name(), " has no extendable output"));
        } else {
          return s.finalize_xof();
        }
      },
      impl_->state);
}

// std::visit throws only for a valueless variant; every state moves without throwing.
// NOLINTNEXTLINE(bugprone-exception-escape)
void Hasher::reset() noexcept {
  std::visit([](auto& s) { s.reset(); }, impl_->state);
}

}  // namespace vexo
