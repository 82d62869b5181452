/* The least work that prints what the editor prints for a job of
 * bench/compare.sh: the same bytes out, with no more system calls than the
 * job needs. It knows only those jobs and trusts its input; it is a
 * yardstick, not an editor.
 *
 *   floor start                 nothing at all
 *   floor load FILE             the load report and the prompt
 *   floor dump FILE             then ten dump lines for each d line on
 *                               standard input, up to a q line
 *   floor search FILE V1 V2 V3  then every place where the three byte
 *                               values stand, as s 0 7fffffff V1 V2 V3 does
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static char out[1 << 16];
static size_t out_used;

static void flush(void)
{
    size_t done = 0;
    while (done < out_used) {
        ssize_t n = write(1, out + done, out_used - done);
        if (n <= 0)
            exit(1);
        done += (size_t)n;
    }
    out_used = 0;
}

static void put(const char* text, size_t size)
{
    if (out_used + size > sizeof out)
        flush();
    memcpy(out + out_used, text, size);
    out_used += size;
}

static unsigned char* data;
static long data_count;

/* The file, then the byte 0xff and zeros after it, as the editor holds it:
 * in memory of its own, on huge pages when it is large. */
static void load(const char* name)
{
    int fd = open(name, O_RDONLY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0)
        exit(1);
    const size_t huge = (size_t)2 << 20;
    size_t room = ((size_t)info.st_size + 32 + huge - 1) / huge * huge;
    char* mapping =
        mmap(NULL, room + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED)
        exit(1);
    data = (unsigned char*)mapping + (huge - (uintptr_t)mapping % huge) % huge;
    if (info.st_size >= (off_t)1 << 20)
        madvise(data, room, MADV_HUGEPAGE);
    while (data_count < info.st_size) {
        ssize_t n = read(fd, data + data_count, (size_t)(info.st_size - data_count));
        if (n <= 0)
            exit(1);
        data_count += n;
    }
    close(fd);
    data[data_count] = 0xff;
    char text[4200];
    int size = snprintf(text, sizeof text,
                        "Please Wait... Loading %s into memory \n %ld Bytes Loaded into memory. \n"
                        " Note! Use '?' for command HELP. \n",
                        name, data_count);
    put(text, (size_t)size);
}

static const char digits[] = "0123456789abcdef";
static char hex[256][4];
static char shown[256];

/* Up to ten lines from *cursor, formatted straight into the output; stops
 * after the line that reaches past the data. */
static void dump(long* cursor)
{
    long from = *cursor;
    for (int lines = 0; lines < 10; ++lines) {
        if (out_used + 96 > sizeof out)
            flush();
        char* at = out + out_used;
        memcpy(at, "0000:", 5);
        int width = 4;
        while (width < 8 && (from >> (4 * width)) != 0)
            ++width;
        at += 5 + width;
        for (long label = from, d = 1; d <= width; ++d, label >>= 4)
            at[-d] = digits[label & 0xf];
        const unsigned char* bytes = data + from;
        char* column = at + 53;
        for (int i = 0; i < 16; ++i) {
            unsigned char byte = bytes[i];
            memcpy(at + 3 * i + (i < 8 ? 0 : 2), hex[byte], 4);
            column[i] = shown[byte];
        }
        memcpy(at + 24, " -", 2);
        memcpy(at + 50, "   ", 3);
        column[16] = '\n';
        out_used = (size_t)(column + 17 - out);
        from += 16;
        if (from - 1 > data_count)
            break;
    }
    *cursor = from;
}

static void search(const unsigned char* values)
{
    char text[32];
    for (long at = 0; at < data_count - 1; ++at) {
        const unsigned char* next = memchr(data + at, values[0], (size_t)(data_count - 1 - at));
        if (next == NULL)
            break;
        at = next - data;
        if (next[1] == values[1] && next[2] == values[2])
            put(text, (size_t)snprintf(text, sizeof text, "Found at %04lx\n", at));
    }
    put("Use 'd [offset]' to display 'Found' values:  (ie: -d 7732 ) \n", 61);
}

/* Each line of standard input after a prompt: d dumps, q ends. */
static void commands(void)
{
    static char in[1 << 16];
    long cursor = 0;
    for (int b = 0; b < 256; ++b) {
        hex[b][0] = ' ';
        hex[b][1] = digits[b >> 4];
        hex[b][2] = digits[b & 0xf];
        shown[b] = b < 32 ? '.' : (char)b;
    }
    size_t at = 0, end = 0;
    for (;;) {
        put("-", 1);
        if (at == end) {
            flush();
            ssize_t n = read(0, in, sizeof in);
            if (n <= 0)
                return;
            at = 0;
            end = (size_t)n;
        }
        char letter = in[at];
        const char* newline = memchr(in + at, '\n', end - at);
        at = newline != NULL ? (size_t)(newline - in) + 1 : end;
        if (letter == 'q')
            return;
        if (letter == 'd')
            dump(&cursor);
    }
}

int main(int argc, char** argv)
{
    if (argc >= 3)
        load(argv[2]);
    if (argc == 6 && strcmp(argv[1], "search") == 0) {
        unsigned char values[3];
        for (int i = 0; i < 3; ++i)
            values[i] = (unsigned char)strtoul(argv[3 + i], NULL, 16);
        put("-", 1);
        search(values);
        put("-", 1);
    } else if (argc == 3) {
        commands();
    }
    flush();
    return 0;
}
