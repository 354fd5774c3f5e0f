// What the tool and its decoding helper (lumivet-decode) say to each other. Every message is a
// frame: a 4-letter tag, a 32-bit length and that many bytes.
//
// The tool starts the helper once, with a socket as descriptor 3. The helper sets up its
// libraries and then, for each WORK request (the mode, and three descriptors: the photo, a socket
// for the tool's requests and a pipe for the replies), starts a worker of its own, a copy of
// itself that has the photo as descriptor 3, the requests as 4 and the replies as 5, and nothing
// else, and locks itself down before it reads a byte. The helper answers with the worker's PID
// (and a pidfd of it); when the worker has ended it adds EXIT (its wait status) to the replies.
//
// photo mode:    helper: HEAD (width, height, bytes a pixel the decode takes, seconds per 50 MP)
//                        or FAIL (why)
//                tool:   DECO, with a sealed memory file of width x height x 3 bytes for the
//                        pixels, or the socket closed (the photo needs more memory than is free)
//                helper: DONE (rows, columns), NOTE, EXIF, IPTC, XMP , ICC , then END ; or FAIL
// metadata mode: helper: XMP  then END , or FAIL
#pragma once

#include <cstdint>
#include <string>

namespace sandbox {

constexpr int kControlFd = 3, kPhotoFd = 3, kRequestFd = 4, kReplyFd = 5;

constexpr std::uint32_t tag(const char (&text)[5]) {
  return std::uint32_t(uint8_t(text[0])) << 24 | std::uint32_t(uint8_t(text[1])) << 16 |
         std::uint32_t(uint8_t(text[2])) << 8 | std::uint32_t(uint8_t(text[3]));
}
constexpr std::uint32_t kHead = tag("HEAD"), kFail = tag("FAIL"), kDecode = tag("DECO"),
                        kDone = tag("DONE"), kNote = tag("NOTE"), kExif = tag("EXIF"),
                        kIptc = tag("IPTC"), kXmp = tag("XMP "), kIcc = tag("ICC "),
                        kEnd = tag("END "), kWork = tag("WORK"), kPid = tag("PID "),
                        kExit = tag("EXIT");

// The largest frame either side sends: metadata blocks are cut off below this.
constexpr std::uint32_t kMaxFrameBytes = 32u << 20;

struct Header {
  std::int32_t width = 0, height = 0;
  std::uint32_t bytesPerPixel = 0;   // what decoding takes beyond the file, for its memory limit
  std::uint32_t secondsPer50Mp = 0;  // how long decoding may take, for its deadline
};

struct Done {
  std::int32_t rows = 0, cols = 0;
};

}  // namespace sandbox
