#include "engine/io/buffered_reader.h"

#include <cstring>

namespace vantre {

BufferedReader::BufferedReader(const File* file, size_t buffer_size)
    : file_(file), buf_(buffer_size) {}

bool BufferedReader::ReadExact(MutableBytes out) {
  size_t done = 0;
  while (done < out.size()) {
    if (begin_ == end_) {
      size_t want = out.size() - done;
      if (want >= buf_.size()) {
        // Large read: straight into the caller's memory.
        size_t n = file_->ReadAt(out.subspan(done), file_pos_);
        file_pos_ += n;
        position_ += n;
        done += n;
        return done == out.size();
      }
      size_t n = file_->ReadAt(buf_, file_pos_);
      if (n == 0) return false;
      file_pos_ += n;
      begin_ = 0;
      end_ = n;
    }
    size_t take = std::min(end_ - begin_, out.size() - done);
    std::memcpy(out.data() + done, buf_.data() + begin_, take);
    begin_ += take;
    done += take;
    position_ += take;
  }
  return true;
}

}  // namespace vantre
