// CTI objects (object type 10): request channels to the reader. A client
// adds one (empty body) and sends it requests (command 100): Int8 item 0
// the request code, byte-array item 1 the data (absent: empty). The answer
// carries Int16 item 2, the status, and byte-array item 3, the data:
//
//   0 echo            the request data unchanged
//   1 reader status   12 bytes: reader milliseconds (4), clock seconds (4),
//                     radio state (1), radio channel (1), GPI states (1),
//                     GPO states (1), bit n for line n + 1
//   2 request count   requests this object has served, this one included (4)
//   3 fill            data: a 16-bit length n, then an optional first byte
//                     b: n bytes b, b + 1, b + 2... (wrapping)
//
// Status 0 done, 1 unknown request code (no data), 2 bad request data (no
// data: a fill without its length, or an answer longer than a block holds).
// The result (item 255) is 0 for every answered request; 2 for an unknown
// instance, 3 without item 0.
#include "families.h"

namespace uemu {

namespace {

constexpr uint8_t kCodeItem = 0;
constexpr uint8_t kDataItem = 1;
constexpr uint8_t kStatusItem = 2;
constexpr uint8_t kAnswerItem = 3;

// A response holds the result item, item 2 (3 bytes) and item 3's header
// and length (3 bytes) besides the data.
constexpr size_t kMaxAnswer = kMaxBody - kResultItemSize - 3 - 3;

struct CtiObject final : FamilyState {
    uint32_t served = 0;
};

void Put32(Bytes &b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

// Bit n set for line n + 1 (lines 1 to 8) in state 1.
uint8_t LineBits(Context &context, uint8_t type) {
    uint8_t bits = 0;
    ObjectTable *table = context.Table(type);
    if (table == nullptr) return 0;
    for (const auto &[instance, line] : table->objects()) {
        if (instance <= 8 && StoredValue(line.properties, 0).value_or(0) != 0) {
            bits = static_cast<uint8_t>(bits | 1u << (instance - 1));
        }
    }
    return bits;
}

Bytes ReaderStatus(Context &context) {
    Bytes b;
    Put32(b, context.Now());
    Put32(b, UnixTime(context));
    ObjectTable *radios = context.Table(kRadioType);
    const Object *radio = radios != nullptr ? radios->Find(kRadioInstance) : nullptr;
    b.push_back(radio != nullptr ? static_cast<uint8_t>(StoredValue(radio->properties, 2).value_or(0)) : 0);
    b.push_back(radio != nullptr ? static_cast<uint8_t>(StoredValue(radio->properties, 0).value_or(0)) : 0);
    b.push_back(LineBits(context, kGpiType));
    b.push_back(LineBits(context, kGpoType));
    return b;
}

class CtiFamily final : public Family {
public:
    int16_t Add(Context &context, const Request &request, Object &created, Reply &reply) override {
        created.state = std::make_unique<CtiObject>();
        return Family::Add(context, request, created, reply);
    }

    int16_t ObjectCommand(Context &context, const Request &request, ObjectTable &table,
                          Reply &reply) override {
        if (request.command != kObjectSpecific) return UEMU_RESULT_UNKNOWN_COMMAND;
        CtiObject *cti = StateOf<CtiObject>(table.Find(request.instance));
        if (cti == nullptr) return UEMU_RESULT_UNKNOWN_INSTANCE;
        std::optional<uint32_t> code;
        if (!ReadTyped(request.items, kCodeItem, kInt8, code) || !code) return UEMU_RESULT_MALFORMED;
        const ItemView *item = request.items.Find(kDataItem);
        if (item != nullptr && item->type != kByteArray) return UEMU_RESULT_MALFORMED;
        const ByteView data = item != nullptr ? item->value : ByteView{};
        ++cti->served;

        uint16_t status = UEMU_CTI_DONE;
        Bytes answer;
        switch (*code) {
        case UEMU_CTI_ECHO:
            answer.assign(data.begin(), data.end());
            break;
        case UEMU_CTI_READER_STATUS:
            answer = ReaderStatus(context);
            break;
        case UEMU_CTI_REQUEST_COUNT:
            Put32(answer, cti->served);
            break;
        case UEMU_CTI_FILL:
            if (data.size() < 2) {
                status = UEMU_CTI_BAD_DATA;
                break;
            }
            answer.resize(static_cast<size_t>(data[0] << 8 | data[1]));
            for (size_t i = 0; i < answer.size(); ++i) {
                answer[i] = static_cast<uint8_t>((data.size() > 2 ? data[2] : 0) + i);
            }
            break;
        default:
            status = UEMU_CTI_UNKNOWN_REQUEST;
            break;
        }
        if (answer.size() > kMaxAnswer) {
            status = UEMU_CTI_BAD_DATA;
            answer.clear();
        }
        reply.Items().Int16(kStatusItem, status);
        reply.Items().ByteArray(kAnswerItem, answer);
        return UEMU_RESULT_OK;
    }
};

}  // namespace

std::unique_ptr<Family> MakeCtiFamily() { return std::make_unique<CtiFamily>(); }

}  // namespace uemu
