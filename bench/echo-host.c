/* The floor for a native-messaging round trip: reads framed messages from standard input and
 * writes each one back, framed, until the input ends. No logging, no JSON, no libraries. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    unsigned char prefix[4];
    while (fread(prefix, 1, 4, stdin) == 4) {
        const uint32_t length = (uint32_t)prefix[0] | (uint32_t)prefix[1] << 8 |
                                (uint32_t)prefix[2] << 16 | (uint32_t)prefix[3] << 24;
        char* payload = malloc(length > 0 ? length : 1);
        if (payload == NULL || fread(payload, 1, length, stdin) != length) {
            free(payload);
            return 1;
        }
        if (fwrite(prefix, 1, 4, stdout) != 4 || fwrite(payload, 1, length, stdout) != length ||
            fflush(stdout) != 0) {
            free(payload);
            return 1;
        }
        free(payload);
    }
    return 0;
}
