// The reader's text log (object type 13): each line goes out as event 0 of
// the type, instance 0, with the text in byte-array item 0 (at most 128
// bytes, no terminator). Lines come from the reader itself (a schedule
// starting or stopping, a country code selected, the clock set) and from
// uemu_Log. The log has no objects of its own: an add is refused.
#include <algorithm>
#include <cstring>

#include "reader.h"
#include "families.h"

namespace uemu {

namespace {

constexpr uint8_t kTextItem = 0;
constexpr size_t kMaxText = 128;  // what a client takes

Bytes LineBody(std::string_view line) {
    Bytes b;
    const auto *bytes = reinterpret_cast<const uint8_t *>(line.data());
    ItemWriter(b).ByteArray(kTextItem, ByteView(bytes, std::min(line.size(), kMaxText)));
    return b;
}

class TextLogFamily final : public Family {
public:
    int16_t Add(Context &, const Request &, Object &, Reply &) override { return UEMU_RESULT_REFUSED; }
};

}  // namespace

void TextLog(Context &context, std::string_view line) {
    context.RaiseEvent(kTextLogType, kFirstEvent, 0, LineBody(line));
}

std::unique_ptr<Family> MakeTextLogFamily() { return std::make_unique<TextLogFamily>(); }

}  // namespace uemu

extern "C" int32_t uemu_Log(uemu_Reader *reader, const char *text) {
    if (reader == nullptr || text == nullptr) return UEMU_ERR_INVALID;
    return uemu::GuardedCall([&] {
        const uemu::Bytes body = uemu::LineBody(std::string_view(text, strnlen(text, uemu::kMaxText)));
        return reader->reader.RaiseEvent(uemu::kTextLogType, uemu::kFirstEvent, 0, body);
    });
}
