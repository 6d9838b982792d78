/* bench_flash_raw_client: the smallest client the flasher is measured against.
 * Plain BSD sockets, no checks beyond the replies: "BOOTi" and its answer, then
 * each line of IMAGE as "BOOT" + line + CR LF, each waiting for its reply, the
 * download pass and then the verify pass (':' sent as '#'). Exit 0 when each
 * pass ended with "DOWNLOAD"; 1 on "ERROR", a reply that did not come within
 * five seconds, or any other failure; 2 on bad usage.
 * Usage: bench_flash_raw_client ADDRESS PORT IMAGE */

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

enum { kMaxDatagram = 65507, kReplyTimeoutSeconds = 5 };

static char **readLines(const char *path, size_t *count)
{
    FILE *file = fopen(path, "rb");
    if (!file)
        return NULL;
    size_t capacity = 1024;
    char **lines = malloc(capacity * sizeof *lines);
    char *buffer = malloc(kMaxDatagram);
    *count = 0;
    while (lines && buffer && fgets(buffer, kMaxDatagram, file)) {
        size_t length = strcspn(buffer, "\r\n");
        buffer[length] = '\0';
        if (*count == capacity) {
            capacity *= 2;
            char **grown = realloc(lines, capacity * sizeof *lines);
            if (!grown)
                break;
            lines = grown;
        }
        lines[(*count)++] = strdup(buffer);
    }
    free(buffer);
    fclose(file);
    return lines;
}

/* Sends one message and waits for its reply; 1 for "DOWNLOAD", 0 for any
 * other reply, -1 for "ERROR" or no reply. */
static int exchange(int fd, const struct sockaddr_in *device, const char *message, size_t length)
{
    char reply[kMaxDatagram + 1];
    if (sendto(fd, message, length, 0, (const struct sockaddr *)device, sizeof *device) < 0)
        return -1;
    ssize_t got = recvfrom(fd, reply, kMaxDatagram, 0, NULL, NULL);
    if (got < 0)
        return -1;
    reply[got] = '\0';
    if (strstr(reply, "ERROR"))
        return -1;
    return strstr(reply, "DOWNLOAD") != NULL;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: bench_flash_raw_client ADDRESS PORT IMAGE\n");
        return 2;
    }
    struct sockaddr_in device;
    memset(&device, 0, sizeof device);
    device.sin_family = AF_INET;
    device.sin_port = htons((unsigned short)atoi(argv[2]));
    if (inet_pton(AF_INET, argv[1], &device.sin_addr) != 1) {
        fprintf(stderr, "bench_flash_raw_client: bad address %s\n", argv[1]);
        return 2;
    }
    size_t count = 0;
    char **lines = readLines(argv[3], &count);
    if (!lines || count == 0) {
        fprintf(stderr, "bench_flash_raw_client: cannot read %s\n", argv[3]);
        return 1;
    }

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct timeval timeout = {kReplyTimeoutSeconds, 0};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return 1;
    if (exchange(fd, &device, "BOOTi\r\n", 7) < 0)
        return 1;

    char *message = malloc(kMaxDatagram + 1);
    for (int pass = 0; pass < 2; ++pass) {
        int ended = 0;
        for (size_t i = 0; i < count; ++i) {
            size_t length = strlen(lines[i]);
            if (length + 6 > kMaxDatagram)
                return 1;
            memcpy(message, "BOOT", 4);
            memcpy(message + 4, lines[i], length);
            if (pass == 1) {
                for (size_t c = 4; c < 4 + length; ++c) {
                    if (message[c] == ':')
                        message[c] = '#';
                }
            }
            memcpy(message + 4 + length, "\r\n", 2);
            ended = exchange(fd, &device, message, length + 6);
            if (ended < 0)
                return 1;
        }
        if (!ended)
            return 1;
    }
    close(fd);
    return 0;
}
