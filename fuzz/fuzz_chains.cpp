// Fuzz target: the STREAMS chain operations (allocb, dupb, freeb, freemsg,
// linkb, unlinkb, rmvb, dupmsg, copyb, copymsg, msgdsize, adjmsg) as random
// operation sequences, checked against a model that keeps the byte content
// of every live message.
//
// Each input is a list of operations (one opcode byte, then its arguments).
// After every operation:
//   - every live message holds exactly the bytes of its model and msgdsize
//     says so;
//   - every block of every message is handed out (inUse), its pointers lie
//     in its buffer in order, no block belongs to two messages or twice to
//     one, and no chain loops;
//   - every buffer's reference count is the number of live blocks using it;
//   - an operation that fails (null from dupb, dupmsg, copyb, copymsg,
//     allocb; all-ones from rmvb; 0 from adjmsg) has changed nothing, and
//     the pools hold what they held before it.
// At the end every message is released and every pool must be full.
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

using namespace ulmot::fuzz;
using Bytes = std::vector<uint8_t>;

struct Message {
    MessageBlock *head;  // null for an empty message (nothing held)
    Bytes content;       // what the model says the chain holds
};

std::vector<Message> g_live;
uint32_t g_stamp = 0;  // makes every buffer's bytes differ from the others'

constexpr size_t kMaxMessages = 64;
constexpr size_t kMaxOps = 256;
constexpr uint32_t kMaxDescriptors = ulmot::pools::kTotalElements;

// The checks below walk every live block after every operation; they are
// kept out of the coverage instrumentation, which would otherwise take most
// of the time (their branches tell the fuzzer nothing about the library).
#define ULMOT_FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))

// Whether the chain holds exactly `content`.
ULMOT_FUZZ_NO_COVERAGE bool SameContent(MessageBlock *m, const Bytes &content) {
    size_t at = 0;
    for (MessageBlock *b = m; b != nullptr; b = b->cont) {
        const size_t n = static_cast<size_t>(b->writePtr - b->readPtr);
        if (n > content.size() - at || (n != 0 && std::memcmp(b->readPtr, content.data() + at, n) != 0)) return false;
        at += n;
    }
    return at == content.size();
}

std::vector<MessageBlock *> BlocksOf(MessageBlock *m) {
    std::vector<MessageBlock *> out;
    for (MessageBlock *b = m; b != nullptr; b = b->cont) {
        Check(out.size() < kMaxDescriptors, "a chain loops");
        out.push_back(b);
    }
    return out;
}

void FreeCounts(uint32_t out[ulmot::pools::kPoolCount]) {
    for (int p = 0; p < ulmot::pools::kPoolCount; ++p) out[p] = ulmot::pools::FreeCount(p);
}

bool SameCounts(const uint32_t a[], const uint32_t b[]) {
    for (int p = 0; p < ulmot::pools::kPoolCount; ++p) {
        if (a[p] != b[p]) return false;
    }
    return true;
}

ULMOT_FUZZ_NO_COVERAGE void CheckAll() {
    static std::vector<MessageBlock *> blocks;
    static std::vector<DataBlock *> buffers;
    blocks.clear();
    buffers.clear();
    for (const Message &m : g_live) {
        if (m.head == nullptr) {
            Check(m.content.empty(), "model holds bytes for an empty message");
            continue;
        }
        size_t n = 0;
        for (MessageBlock *b = m.head; b != nullptr; b = b->cont) {
            Check(++n <= kMaxDescriptors, "a chain loops");
            Check(b->inUse == ulmot::pools::kInUse, "a block of a live message is marked free");
            DataBlock *d = b->dataBlock;
            Check(d != nullptr && d->base != nullptr, "a live block has no buffer");
            Check(d->base <= b->readPtr && b->readPtr <= b->writePtr && b->writePtr <= d->limit,
                  "a block's pointers leave its buffer");
            blocks.push_back(b);
            buffers.push_back(d);
        }
        Check(SameContent(m.head, m.content), "a message's bytes differ from the model");
        Check(msgdsize(m.head) == m.content.size(), "msgdsize differs from the model");
    }
    std::sort(blocks.begin(), blocks.end());
    Check(std::adjacent_find(blocks.begin(), blocks.end()) == blocks.end(),
          "a block is in two messages (or twice in one)");
    std::sort(buffers.begin(), buffers.end());
    for (size_t i = 0; i < buffers.size();) {
        size_t j = i;
        while (j < buffers.size() && buffers[j] == buffers[i]) ++j;
        Check(buffers[i]->refCount == j - i, "a buffer's reference count is not the number of its users");
        i = j;
    }
}

// The index of a live message, chosen by the input; -1 when there is none.
long Pick(Input &in) {
    if (g_live.empty()) return -1;
    return static_cast<long>(in.U8() % g_live.size());
}

// The k-th block of message m (by the input), with its offset in the message.
MessageBlock *PickBlock(Input &in, const Message &m, size_t *offset) {
    const std::vector<MessageBlock *> blocks = BlocksOf(m.head);
    const size_t k = in.U8() % blocks.size();
    *offset = 0;
    for (size_t i = 0; i < k; ++i) *offset += static_cast<size_t>(blocks[i]->writePtr - blocks[i]->readPtr);
    return blocks[k];
}

size_t SizeOf(const MessageBlock *b) { return static_cast<size_t>(b->writePtr - b->readPtr); }

Bytes Slice(const Bytes &v, size_t from, size_t length) {
    return Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + length));
}

Bytes Without(const Bytes &v, size_t from, size_t length) {
    Bytes out(v.begin(), v.begin() + static_cast<long>(from));
    for (size_t i = from + length; i < v.size(); ++i) out.push_back(v[i]);
    return out;
}

void Remove(size_t i) {
    g_live[i] = g_live.back();
    g_live.pop_back();
}

void OpAlloc(Input &in) {
    static const uint32_t kSizes[] = {0, 1, 7, 64, 127, 128, 129, 200, 383, 384, 385, 1000, 2047, 2048, 2049};
    const uint8_t pick = in.U8();
    const uint32_t size = pick < 15 * 16 ? kSizes[pick % 15] : in.U16() % 2100;
    uint32_t counts[ulmot::pools::kPoolCount];
    FreeCounts(counts);
    MessageBlock *b = allocb(size, 0);
    if (b == nullptr) {
        uint32_t after[ulmot::pools::kPoolCount];
        FreeCounts(after);
        Check(SameCounts(counts, after), "a refused allocb took an element");
        return;
    }
    Check(size <= ULMOT_MAX_BLOCK_SIZE, "allocb served more than the largest buffer");
    Check(b->cont == nullptr && b->readPtr == b->dataBlock->base && b->writePtr == b->readPtr,
          "allocb's block is not empty at its base");
    const size_t capacity = static_cast<size_t>(b->dataBlock->limit - b->dataBlock->base);
    Check(capacity >= size, "allocb's buffer is smaller than asked");
    ++g_stamp;
    for (size_t i = 0; i < capacity; ++i) b->dataBlock->base[i] = static_cast<uint8_t>(g_stamp * 31 + i * 7);
    const size_t head = capacity == 0 ? 0 : in.U16() % (capacity + 1);
    const size_t length = capacity - head == 0 ? 0 : in.U16() % (capacity - head + 1);
    b->readPtr += head;
    b->writePtr = b->readPtr + length;
    g_live.push_back({b, Bytes(b->readPtr, b->writePtr)});
}

void Step(Input &in) {
    const uint8_t op = in.U8() % 12;
    if (op == 0 || g_live.empty()) {
        if (g_live.size() < kMaxMessages) OpAlloc(in);
        return;
    }
    const long i = Pick(in);
    Message &m = g_live[static_cast<size_t>(i)];
    uint32_t before[ulmot::pools::kPoolCount];
    FreeCounts(before);
    auto unchanged = [&](const char *what) {
        uint32_t after[ulmot::pools::kPoolCount];
        FreeCounts(after);
        Check(SameCounts(before, after), what);
    };
    if (m.head == nullptr) {  // an emptied message: drop it
        Remove(static_cast<size_t>(i));
        return;
    }
    switch (op) {
        case 1: {  // dupb of one block
            if (g_live.size() >= kMaxMessages) return;
            size_t offset;
            MessageBlock *b = PickBlock(in, m, &offset);
            MessageBlock *d = dupb(b);
            if (d == nullptr) {
                unchanged("a refused dupb took an element");
                Check(b->dataBlock->refCount == UINT8_MAX || before[3] == 0, "dupb refused without a reason");
                return;
            }
            Check(d->dataBlock == b->dataBlock && d->readPtr == b->readPtr && d->writePtr == b->writePtr &&
                      d->cont == nullptr,
                  "dupb's block does not share the original's buffer and pointers");
            g_live.push_back({d, Slice(m.content, offset, SizeOf(b))});
            return;
        }
        case 2:
        case 3: {  // dupmsg, copymsg
            if (g_live.size() >= kMaxMessages) return;
            MessageBlock *copy = op == 2 ? dupmsg(m.head) : copymsg(m.head);
            if (copy == nullptr) {
                unchanged(op == 2 ? "a failed dupmsg kept blocks" : "a failed copymsg kept blocks");
                return;
            }
            Check(BlocksOf(copy).size() == BlocksOf(m.head).size(), "a copy has another block count");
            g_live.push_back({copy, m.content});
            return;
        }
        case 4: {  // linkb
            const long j = Pick(in);
            if (j == i || g_live[static_cast<size_t>(j)].head == nullptr) return;
            Message &other = g_live[static_cast<size_t>(j)];
            linkb(m.head, other.head);
            for (uint8_t v : other.content) m.content.push_back(v);
            Remove(static_cast<size_t>(j));
            return;
        }
        case 5: {  // rmvb: a block of the message, or one of another message
            const bool foreign = in.U8() % 4 == 0;
            if (foreign) {
                const long j = Pick(in);
                if (j == i || g_live[static_cast<size_t>(j)].head == nullptr) return;
                size_t offset;
                MessageBlock *b = PickBlock(in, g_live[static_cast<size_t>(j)], &offset);
                MessageBlock *r = rmvb(m.head, b);
                Check(r == reinterpret_cast<MessageBlock *>(~uintptr_t{0}), "rmvb of a foreign block did not refuse");
                return;
            }
            if (g_live.size() >= kMaxMessages) return;
            size_t offset;
            MessageBlock *b = PickBlock(in, m, &offset);
            const size_t length = SizeOf(b);
            MessageBlock *next = b->cont;
            MessageBlock *r = rmvb(m.head, b);
            Check(r == (b == m.head ? next : m.head), "rmvb returned the wrong head");
            Check(b->cont == nullptr, "rmvb left the removed block linked");
            Bytes removed = Slice(m.content, offset, length);
            m.head = r;
            m.content = Without(m.content, offset, length);
            g_live.push_back({b, removed});
            return;
        }
        case 6: {  // unlinkb
            if (g_live.size() >= kMaxMessages) return;
            const size_t first = SizeOf(m.head);
            MessageBlock *rest = unlinkb(m.head);
            Check(m.head->cont == nullptr, "unlinkb left the head linked");
            Bytes tail = Slice(m.content, first, m.content.size() - first);
            m.content.resize(first);
            if (rest != nullptr) g_live.push_back({rest, tail});
            return;
        }
        case 7: {  // adjmsg
            const long total = static_cast<long>(m.content.size());
            const uint8_t how = in.U8();
            long length;
            if (how < 64) {
                length = total;  // the whole message
            } else if (how < 128) {
                length = total + 1;  // one byte too many
            } else {
                length = total == 0 ? 0 : static_cast<long>(in.U16() % (total + 1));
            }
            if (how & 1) length = -length;
            MessageBlock *head = m.head;
            const int32_t r = adjmsg(m.head, static_cast<int32_t>(length));
            const size_t n = static_cast<size_t>(length < 0 ? -length : length);
            if (length == 0 || n > m.content.size()) {
                Check(r == 0, "adjmsg trimmed what it cannot");
                unchanged("a refused adjmsg released blocks");
                return;
            }
            Check(r == 1, "adjmsg refused a trim it can make");
            Check(m.head == head, "adjmsg moved the head");
            m.content = length > 0 ? Slice(m.content, n, m.content.size() - n) : Slice(m.content, 0, m.content.size() - n);
            return;
        }
        case 8: {  // freeb of the head: the rest stays the message
            const size_t first = SizeOf(m.head);
            MessageBlock *rest = m.head->cont;
            freeb(m.head);
            m.head = rest;
            m.content = Slice(m.content, first, m.content.size() - first);
            return;
        }
        case 9:  // freemsg
            freemsg(m.head);
            Remove(static_cast<size_t>(i));
            return;
        case 10: {  // copyb of one block
            if (g_live.size() >= kMaxMessages) return;
            size_t offset;
            MessageBlock *b = PickBlock(in, m, &offset);
            MessageBlock *c = copyb(b);
            if (c == nullptr) {
                unchanged("a refused copyb took an element");
                return;
            }
            Check(c->dataBlock != b->dataBlock && c->dataBlock->refCount == 1, "copyb shares a buffer");
            g_live.push_back({c, Slice(m.content, offset, SizeOf(b))});
            return;
        }
        case 11: {  // many duplicates of one block, linked: reaches the 255-reference limit
            if (g_live.size() >= kMaxMessages) return;
            size_t offset;
            MessageBlock *b = PickBlock(in, m, &offset);
            const Bytes bytes = Slice(m.content, offset, SizeOf(b));
            const uint32_t count = 1 + in.U8();
            Message dups{nullptr, {}};
            for (uint32_t k = 0; k < count; ++k) {
                const uint8_t refs = b->dataBlock->refCount;
                MessageBlock *d = dupb(b);
                if (d == nullptr) {
                    Check(refs == UINT8_MAX || ulmot::pools::FreeCount(3) == 0, "dupb refused without a reason");
                    break;
                }
                if (dups.head == nullptr) dups.head = d; else linkb(dups.head, d);
                for (uint8_t v : bytes) dups.content.push_back(v);
            }
            if (dups.head != nullptr) g_live.push_back(dups);
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    streams_buf_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    g_live.clear();
    for (size_t ops = 0; ops < kMaxOps && in.left() > 0; ++ops) {
        Step(in);
        CheckAll();
    }
    for (const Message &m : g_live) freemsg(m.head);
    g_live.clear();
    CheckPoolsFull("after every message was released");
    return 0;
}
