// Sequential reader over an open file with a fixed buffer. Reads are copied
// out in blocks, never byte by byte; reads larger than the buffer bypass it.
#ifndef VANTRE_ENGINE_BUFFERED_READER_H_
#define VANTRE_ENGINE_BUFFERED_READER_H_

#include <cstdint>
#include <vector>

#include "engine/format/coding.h"
#include "engine/io/file.h"

namespace vantre {

class BufferedReader {
 public:
  // "*file" must remain live while this reader is in use. Reading starts at
  // byte 0 of the file.
  BufferedReader(const File* file, size_t buffer_size);

  // Fills `out` completely. Returns false if the file ends first. Read
  // errors are thrown as OsError.
  bool ReadExact(MutableBytes out);
  // Little-endian fields; false, as ReadExact, if the file ends first.
  bool ReadFixed32(uint32_t* v) {
    std::byte b[4];
    if (!ReadExact(b)) return false;
    *v = DecodeFixed32(b);
    return true;
  }
  bool ReadFixed64(uint64_t* v) {
    std::byte b[8];
    if (!ReadExact(b)) return false;
    *v = DecodeFixed64(b);
    return true;
  }
  // Bytes consumed so far: the offset of the next byte to be returned.
  uint64_t position() const { return position_; }

 private:
  const File* file_;
  std::vector<std::byte> buf_;
  size_t begin_ = 0;     // next unread byte in buf_
  size_t end_ = 0;       // end of valid bytes in buf_
  uint64_t file_pos_ = 0;  // file offset of buf_[end_]
  uint64_t position_ = 0;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_BUFFERED_READER_H_
