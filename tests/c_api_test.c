/* The public headers as a C11 program sees them, linked against the shared
 * library: builds a small body, checks its wire bytes and reads it back. */
#include <stdio.h>
#include <string.h>

#include <ulmot.h>

int main(void) {
    static const uint8_t expected[] = {0xF1, 0xFF, 0xFF, 0xFB, 0x24, 0x00, 0x03, 0x01, 0x02, 0x03};
    uint16_t value = 0, length = 0;
    const uint8_t *data = NULL;
    streams_buf_init();
    MessageBlock *b = ulmot_BufferAllocate(64, 8);
    const int ok = b != NULL && ulmot_BufferWriteDTPInt16(b, ULMOT_ITEM_RESULT, 0xFFFBu) == 0 &&
                   ulmot_BufferWriteDTPByteArray(b, 2, expected + 7, 3) == 0 && b->writePtr - b->readPtr == sizeof expected &&
                   memcmp(b->readPtr, expected, sizeof expected) == 0 && ulmot_BufferReadDTPInt16(b, ULMOT_ITEM_RESULT, &value) == 0 &&
                   (int16_t)value == -5 && ulmot_BufferPeekDTPByteArray(b, 2, 0, &data, &length) == 0 && length == 3 &&
                   data == b->readPtr + 7 && ulmot_BufferReadDTPInt8(b, 9, NULL) == ULMOT_ERR_NOT_FOUND;
    freeb(b);
    printf("%d passed, %d failed\n", ok, !ok);
    return !ok;
}
