// tools/common/capture_file.h - the capture file of a tool's --capture FILE:
// every transport the tool attaches records its frames there (pcapng, one
// interface per transport; see utr.h). A file that cannot be created, or
// that stops taking frames on the way, is said once through `say`, and the
// tool goes on without it.
#pragma once

#include <functional>
#include <string>

#include "utr.h"

namespace tools {

class CaptureFile {
public:
    using Say = std::function<void(const std::string &)>;

    // No capture when `path` is empty.
    CaptureFile(const std::string &path, Say say);
    // Says when writing failed on the way, and gives the file back: it closes
    // once no transport records into it.
    ~CaptureFile();
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;

    // From now on the frames of `transport` go to the file, as an interface
    // named `label` (empty: the transport's name). Does nothing without a file.
    void Attach(Transport *transport, const std::string &label = "");

private:
    std::string path_;
    Say say_;
    utr_CaptureFile *file_ = nullptr;
};

}  // namespace tools
