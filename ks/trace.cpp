#include "ks/trace.h"

#include <cstdio>
#include <type_traits>

std::atomic<int> g_traceLevel{0};

void SetTraceLevel(int level) {
    g_traceLevel.store(level, std::memory_order_relaxed);
}
int GetTraceLevel() {
    return g_traceLevel.load(std::memory_order_relaxed);
}

namespace {

struct Output {
    WCHAR* out;
    size_t length = 0;

    void Put(WCHAR c) {
        if (length + 1 < kTraceMessageChars)
            out[length++] = c;
    }
    void PutNarrow(const char* text) {
        for (; *text; ++text)
            Put(static_cast<WCHAR>(static_cast<unsigned char>(*text)));
    }
    void Pad(int count) {
        for (int i = 0; i < count; ++i)
            Put(u' ');
    }
};

template <typename Char> size_t Length(const Char* text, int precision) {
    size_t n = 0;
    while (text[n] && (precision < 0 || n < static_cast<size_t>(precision)))
        ++n;
    return n;
}

template <typename Char>
void PutString(Output& o, const Char* text, int width, int precision, bool leftAlign) {
    if (!text) {
        o.PutNarrow("(null)");
        return;
    }
    size_t n = Length(text, precision);
    int pad = width > static_cast<int>(n) ? width - static_cast<int>(n) : 0;
    if (!leftAlign)
        o.Pad(pad);
    for (size_t i = 0; i < n; ++i)
        o.Put(static_cast<WCHAR>(static_cast<std::make_unsigned_t<Char>>(text[i])));
    if (leftAlign)
        o.Pad(pad);
}

} // namespace

size_t FormatTraceMessage(WCHAR* out, const char* format, va_list args) {
    Output o{out};
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            o.Put(static_cast<WCHAR>(static_cast<unsigned char>(*p)));
            continue;
        }
        // Collect one directive: %[flags][width][.precision][length]conversion
        const char* start = p++;
        bool leftAlign = false;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            leftAlign |= *p == '-';
            ++p;
        }
        int width = 0;
        if (*p == '*') {
            width = va_arg(args, int);
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                width = width * 10 + (*p++ - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            while (*p >= '0' && *p <= '9')
                precision = precision * 10 + (*p++ - '0');
        }
        int longs = 0;
        bool size = false, half = false;
        for (;; ++p) {
            if (*p == 'l')
                ++longs;
            else if (*p == 'z')
                size = true;
            else if (*p == 'h')
                half = true;
            else
                break;
        }
        const char conv = *p;
        if (conv == '\0')
            break;
        char directive[32];
        size_t directiveLength = static_cast<size_t>(p - start);
        if (directiveLength + 4 > sizeof directive)
            continue;
        char number[64];
        number[0] = '\0';
        switch (conv) {
        case '%':
            o.Put(u'%');
            break;
        case 's':
            if (longs > 0)
                PutString(o, va_arg(args, const WCHAR*), width, precision, leftAlign);
            else
                PutString(o, va_arg(args, const char*), width, precision, leftAlign);
            break;
        case 'c':
            o.Put(static_cast<WCHAR>(va_arg(args, int)));
            break;
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            // Rebuild the directive without length modifiers and print one widened value.
            size_t n = 0;
            for (const char* q = start; q < p; ++q)
                if (*q != 'l' && *q != 'z' && *q != 'h')
                    directive[n++] = *q;
            directive[n++] = 'l';
            directive[n++] = 'l';
            directive[n++] = conv;
            directive[n] = '\0';
            const bool isSigned = conv == 'd' || conv == 'i';
            if (longs >= 2 || size || longs == 1) {
                if (isSigned)
                    std::snprintf(number, sizeof number, directive,
                                  longs >= 2 ? va_arg(args, long long)
                                             : static_cast<long long>(va_arg(args, long)));
                else
                    std::snprintf(number, sizeof number, directive,
                                  longs >= 2 || size
                                      ? va_arg(args, unsigned long long)
                                      : static_cast<unsigned long long>(va_arg(args, unsigned long)));
            } else if (isSigned) {
                int v = va_arg(args, int);
                std::snprintf(number, sizeof number, directive,
                              static_cast<long long>(half ? static_cast<short>(v) : v));
            } else {
                unsigned v = va_arg(args, unsigned);
                std::snprintf(number, sizeof number, directive,
                              static_cast<unsigned long long>(half ? static_cast<unsigned short>(v) : v));
            }
            o.PutNarrow(number);
            break;
        }
        case 'p':
            std::snprintf(number, sizeof number, "0x%016llx",
                          static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
            o.PutNarrow(number);
            break;
        default:
            // Unknown directive: print it as it stands.
            for (const char* q = start; q <= p; ++q)
                o.Put(static_cast<WCHAR>(static_cast<unsigned char>(*q)));
            break;
        }
    }
    out[o.length] = 0;
    return o.length;
}

void KsTrace(int level, const char* format, ...) {
    if (GetTraceLevel() < level || !format)
        return;
    WCHAR message[kTraceMessageChars];
    va_list args;
    va_start(args, format);
    FormatTraceMessage(message, format, args);
    va_end(args);
    OutputDebugStringW(message);
}
