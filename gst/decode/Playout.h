// Puts the frames the decoder module renders back in stream order and decides when a missing
// frame is lost for good. The module may render out of order: a frame rebuilt from the parity
// frame that follows its successor comes after that successor. A missing frame k can still be
// rebuilt until the frames of k + 1 have passed, so it is given up once time (a frame received,
// or a loss announced) reaches k + 2. Frames are indexed from the stream's first frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace zbgst {

class Playout {
 public:
  // How many frames after a missing frame must pass before it is given up.
  static constexpr int64_t kRebuildWindow = 2;

  // One frame leaving in order: its index and its samples, or none when it is lost.
  struct Frame {
    int64_t index = 0;
    bool lost = false;
    std::vector<uint8_t> pcm;
  };

  // Starts over: the next frame out is `first`, nothing held, nothing seen. With
  // `mayStartEarlier`, the frame before `first`, if it is rebuilt before anything has left (from
  // the parity frame of `first`), starts the stream instead; the first frame waits for that
  // until time reaches the frame after it.
  void Restart(int64_t first, bool mayStartEarlier);
  int64_t next() const { return m_next; }
  int64_t horizon() const { return m_horizon; }

  // Holds a rendered frame; false when it is before next() or already held.
  bool Put(int64_t index, std::vector<uint8_t> pcm);
  // Time has reached frame `index`.
  void See(int64_t index);
  // The frames that may leave now, in order; with `all`, every frame up to the horizon.
  std::vector<Frame> TakeReady(bool all);

 private:
  int64_t m_next = 0;
  int64_t m_horizon = -1;
  bool m_bOpenAtStart = false;  // nothing has left yet, and the frame before m_next may still come
  std::map<int64_t, std::vector<uint8_t>> m_held;
};

}  // namespace zbgst
