// The public headers compile as C++17 with every warning an error and link
// against the shared library.
#include <ulmot.h>

#include <cstdio>

int main() {
    streams_buf_init();
    MessageBlock *b = allocb(8, 1);
    const bool ok = b != nullptr && ulmot_BufferWriteDTPInt8(b, 3, 7) == 0 && b->writePtr - b->readPtr == 2 && b->readPtr[0] == 0x30;
    freeb(b);
    std::printf("%d passed, %d failed\n", ok ? 1 : 0, ok ? 0 : 1);
    return ok ? 0 : 1;
}
