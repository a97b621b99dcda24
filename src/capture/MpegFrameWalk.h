#pragma once
// Follows the frame boundaries of an MPEG audio stream that arrives in pieces
// of any size, so that a recording can be cut where a frame begins: every
// piece then starts with a whole frame and the pieces joined are the stream.
#include <cstddef>
#include <cstdint>

class TMpegFrameWalk {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  // Walks the stream's next n bytes. The offset in them of the first frame
  // that begins at or after `from` with its whole header inside them, or
  // kNone (always for from == kNone, which only walks). A frame found by
  // searching (at the start, after a gap) counts once the header after it
  // is seen.
  size_t Walk(const uint8_t* data, size_t n, size_t from = kNone);
  // The bytes from here on do not continue the ones walked (a gap).
  void Reset();
  // The last frame header accepted; valid once Synced().
  const uint8_t* Header() const { return header_; }
  bool Synced() const { return synced_; }

 private:
  // A header here that belongs to the stream followed so far.
  bool Continues(const uint8_t* h) const;
  void Accept(const uint8_t* h);
  // The first header in [at, n) that starts a frame (checked against the
  // next one when that lies inside the bytes), or kNone.
  static size_t Search(const uint8_t* data, size_t n, size_t at);

  bool synced_ = false;
  // Bytes from the start of the next piece to the next header, when synced.
  size_t ahead_ = 0;
  // The first bytes of a header that the last piece ended inside.
  uint8_t partial_[4] = {};
  size_t partialBytes_ = 0;
  uint8_t header_[4] = {};
};
