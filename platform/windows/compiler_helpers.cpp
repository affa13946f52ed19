// The block routines that the compiler may emit calls to (structure copies,
// zeroed buffers) when no C runtime is linked. This file is compiled with
// -fno-builtin and without loop-pattern recognition, so that these loops are
// not themselves turned into calls of the routines they define.
typedef __SIZE_TYPE__ size_t;

extern "C" {

void *memset(void *dst, int value, size_t count)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    while (count-- != 0)
        *d++ = static_cast<unsigned char>(value);
    return dst;
}

void *memcpy(void *dst, const void *src, size_t count)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    while (count-- != 0)
        *d++ = *s++;
    return dst;
}

void *memmove(void *dst, const void *src, size_t count)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    if (d < s) {
        while (count-- != 0)
            *d++ = *s++;
    } else {
        d += count;
        s += count;
        while (count-- != 0)
            *--d = *--s;
    }
    return dst;
}

int memcmp(const void *a, const void *b, size_t count)
{
    const unsigned char *x = static_cast<const unsigned char *>(a);
    const unsigned char *y = static_cast<const unsigned char *>(b);
    for (; count != 0; --count, ++x, ++y) {
        if (*x != *y)
            return *x < *y ? -1 : 1;
    }
    return 0;
}

}  // extern "C"
