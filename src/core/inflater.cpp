#include "core/inflater.hpp"

#include <zlib.h>

#include <algorithm>
#include <limits>

#ifdef VEXIL_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace vexil::core {

namespace {
// Both libraries count in 32-bit units.
constexpr std::size_t kMaxStep = std::numeric_limits<std::uint32_t>::max();
}  // namespace

#ifdef VEXIL_HAVE_ISAL

struct Inflater::State {
  inflate_state s{};
};

Inflater::Inflater() : state_(std::make_unique<State>()) { reset(); }
Inflater::~Inflater() = default;
Inflater::Inflater(Inflater&&) noexcept = default;
Inflater& Inflater::operator=(Inflater&&) noexcept = default;

void Inflater::reset() {
  isal_inflate_init(&state_->s);
  state_->s.crc_flag = ISAL_ZLIB;
}

Inflater::Status Inflater::decode(const std::uint8_t* in, std::size_t in_len, std::size_t& in_used, std::uint8_t* out,
                                  std::size_t out_len, std::size_t& out_made) {
  inflate_state& s = state_->s;
  s.next_in = const_cast<std::uint8_t*>(in);
  s.avail_in = static_cast<std::uint32_t>(std::min(in_len, kMaxStep));
  s.next_out = out;
  s.avail_out = static_cast<std::uint32_t>(std::min(out_len, kMaxStep));
  const int rc = isal_inflate(&s);
  in_used = static_cast<std::size_t>(s.next_in - in);
  out_made = static_cast<std::size_t>(s.next_out - out);
  if (rc != ISAL_DECOMP_OK) return Status::Error;
  return s.block_state == ISAL_BLOCK_FINISH ? Status::End : Status::More;
}

#else

struct Inflater::State {
  z_stream z{};
  bool open = false;
  ~State() {
    if (open) inflateEnd(&z);
  }
};

Inflater::Inflater() : state_(std::make_unique<State>()) { reset(); }
Inflater::~Inflater() = default;
Inflater::Inflater(Inflater&&) noexcept = default;
Inflater& Inflater::operator=(Inflater&&) noexcept = default;

void Inflater::reset() {
  if (state_->open) inflateEnd(&state_->z);
  state_->z = z_stream{};
  state_->open = inflateInit(&state_->z) == Z_OK;
}

Inflater::Status Inflater::decode(const std::uint8_t* in, std::size_t in_len, std::size_t& in_used, std::uint8_t* out,
                                  std::size_t out_len, std::size_t& out_made) {
  in_used = out_made = 0;
  if (!state_->open) return Status::Error;
  z_stream& z = state_->z;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(std::min(in_len, kMaxStep));
  z.next_out = out;
  z.avail_out = static_cast<uInt>(std::min(out_len, kMaxStep));
  const int rc = inflate(&z, Z_NO_FLUSH);
  in_used = static_cast<std::size_t>(z.next_in - in);
  out_made = static_cast<std::size_t>(z.next_out - out);
  if (rc == Z_STREAM_END) return Status::End;
  if (rc == Z_OK || rc == Z_BUF_ERROR) return Status::More;
  return Status::Error;
}

#endif

}  // namespace vexil::core
