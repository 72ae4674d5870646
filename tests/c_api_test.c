/* The public headers as a C11 program sees them, linked against the shared
 * library: builds a small body, reads it back and checks the wire bytes. */
#include <stdio.h>
#include <string.h>

#include <ulmot.h>

#include "c_check.h"

int main(void) {
    static const uint8_t expected[] = {0xF1, 0xFF, 0xFF, 0xFB, 0x24, 0x00, 0x03, 0x01, 0x02, 0x03};
    static const uint8_t bytes[] = {1, 2, 3};
    MessageBlock *b;
    uint16_t value = 0;
    uint16_t length = 0;
    const uint8_t *data = NULL;

    streams_buf_init();
    b = ulmot_BufferAllocate(64, 8);
    CHECK(b != NULL);
    CHECK(ulmot_BufferWriteDTPInt16(b, ULMOT_ITEM_RESULT, 0xFFFBu) == 0);
    CHECK(ulmot_BufferWriteDTPByteArray(b, 2, bytes, sizeof bytes) == 0);
    CHECK((size_t)(b->writePtr - b->readPtr) == sizeof expected);
    CHECK(memcmp(b->readPtr, expected, sizeof expected) == 0);
    CHECK(ulmot_BufferReadDTPInt16(b, ULMOT_ITEM_RESULT, &value) == 0);
    CHECK((int16_t)value == -5);
    CHECK(ulmot_BufferPeekDTPByteArray(b, 2, 0, &data, &length) == 0);
    CHECK(length == 3 && data != NULL && data[2] == 3);
    CHECK(ulmot_BufferReadDTPInt8(b, 9, NULL) == ULMOT_ERR_NOT_FOUND);
    freeb(b);
    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures != 0;
}
