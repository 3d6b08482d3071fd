// One zlib stream decoded piece by piece, into buffers of any size: ISA-L
// where this build has it (two to three times faster than zlib), else zlib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vexil::core {

class Inflater {
 public:
  Inflater();
  ~Inflater();
  Inflater(Inflater&&) noexcept;
  Inflater& operator=(Inflater&&) noexcept;

  // Starts a new stream.
  void reset();

  enum class Status {
    More,   // `out` is full, or the input given is used up
    End,    // the stream ended (its checksum verified)
    Error,  // the data is not a valid zlib stream
  };
  // Decodes from in[0, in_len) into out[0, out_len). `in_used` and
  // `out_made` say how far each went.
  Status decode(const std::uint8_t* in, std::size_t in_len, std::size_t& in_used, std::uint8_t* out,
                std::size_t out_len, std::size_t& out_made);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vexil::core
