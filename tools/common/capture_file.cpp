// tools/common/capture_file.cpp - a tool's --capture FILE (capture_file.h).
#include "capture_file.h"

#include <cerrno>
#include <cstring>

namespace tools {

CaptureFile::CaptureFile(const std::string &path, Say say) : path_(path), say_(std::move(say)) {
    if (path_.empty()) return;
    file_ = utr_CaptureOpen(path_.c_str());
    if (file_ == nullptr) {
        say_("cannot write the capture to " + path_ + ": " + std::strerror(errno) + "; going on without it");
    }
}

CaptureFile::~CaptureFile() {
    if (file_ == nullptr) return;
    if (const int32_t error = utr_CaptureError(file_); error > 0) {
        say_("the capture in " + path_ + " stopped early: " + std::strerror(error));
    }
    utr_CaptureClose(file_);
}

void CaptureFile::Attach(Transport *transport, const std::string &label) {
    if (file_ == nullptr) return;
    utr_CaptureAttach(transport, file_, label.empty() ? nullptr : label.c_str());
}

}  // namespace tools
