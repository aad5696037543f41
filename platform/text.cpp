#include "platform/text.h"

namespace platform {
namespace {

// A bounded writer: counts every unit, stores those that fit, always leaves room for the terminator.
struct Sink {
  char16_t* out;
  size_t capacity;
  size_t length = 0;
  void Put(char16_t c) {
    if (out != nullptr && capacity > 0 && length + 1 < capacity) out[length] = c;
    ++length;
  }
  void Repeat(char16_t c, int count) {
    for (int i = 0; i < count; ++i) Put(c);
  }
  void Finish() {
    if (out == nullptr || capacity == 0) return;
    out[length < capacity ? length : capacity - 1] = 0;
  }
};

struct Conversion {
  bool left = false, zero = false, plus = false, space = false, alt = false;
  int width = 0;
  int precision = -1;
};

void PutPadded(Sink& sink, const Conversion& conv, const char16_t* prefix, const char16_t* digits,
               int digitCount) {
  int prefixLength = 0;
  while (prefix[prefixLength] != 0) ++prefixLength;
  int zeros = conv.precision > digitCount ? conv.precision - digitCount : 0;
  int body = prefixLength + zeros + digitCount;
  int pad = conv.width > body ? conv.width - body : 0;
  if (conv.zero && !conv.left && conv.precision < 0) {
    zeros += pad;
    pad = 0;
  }
  if (!conv.left) sink.Repeat(u' ', pad);
  for (int i = 0; i < prefixLength; ++i) sink.Put(prefix[i]);
  sink.Repeat(u'0', zeros);
  for (int i = 0; i < digitCount; ++i) sink.Put(digits[i]);
  if (conv.left) sink.Repeat(u' ', pad);
}

void PutInteger(Sink& sink, const Conversion& conv, uint64_t magnitude, bool negative, unsigned base,
                bool upper) {
  char16_t digits[24];
  int count = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  if (magnitude == 0 && conv.precision != 0) digits[count++] = u'0';
  char16_t reversed[24];
  int r = 0;
  while (magnitude != 0) {
    reversed[r++] = static_cast<char16_t>(set[magnitude % base]);
    magnitude /= base;
  }
  while (r > 0) digits[count++] = reversed[--r];
  char16_t prefix[3] = {0, 0, 0};
  if (negative) prefix[0] = u'-';
  else if (conv.plus && base == 10) prefix[0] = u'+';
  else if (conv.space && base == 10) prefix[0] = u' ';
  else if (conv.alt && base == 16 && !(count == 1 && digits[0] == u'0')) {
    prefix[0] = u'0';
    prefix[1] = upper ? u'X' : u'x';
  }
  PutPadded(sink, conv, prefix, digits, count);
}

}  // namespace

int FormatTextV(char16_t* out, size_t capacity, const char16_t* format, va_list args) {
  Sink sink{out, capacity};
  if (format == nullptr) {
    sink.Finish();
    return -1;
  }
  for (const char16_t* p = format; *p != 0; ++p) {
    if (*p != u'%') {
      sink.Put(*p);
      continue;
    }
    ++p;
    if (*p == u'%') {
      sink.Put(u'%');
      continue;
    }
    Conversion conv;
    for (;; ++p) {
      if (*p == u'-') conv.left = true;
      else if (*p == u'0') conv.zero = true;
      else if (*p == u'+') conv.plus = true;
      else if (*p == u' ') conv.space = true;
      else if (*p == u'#') conv.alt = true;
      else break;
    }
    if (*p == u'*') {
      conv.width = va_arg(args, int);
      if (conv.width < 0) {
        conv.left = true;
        conv.width = -conv.width;
      }
      ++p;
    } else {
      while (*p >= u'0' && *p <= u'9') conv.width = conv.width * 10 + (*p++ - u'0');
    }
    if (*p == u'.') {
      ++p;
      conv.precision = 0;
      if (*p == u'*') {
        conv.precision = va_arg(args, int);
        if (conv.precision < 0) conv.precision = -1;
        ++p;
      } else {
        while (*p >= u'0' && *p <= u'9') conv.precision = conv.precision * 10 + (*p++ - u'0');
      }
    }
    if (conv.width > 4096) conv.width = 4096;
    if (conv.precision > 4096) conv.precision = 4096;
    // Length: h, hh, l, ll, I64, z.
    int size = 0;  // 0 int, 1 long, 2 64-bit, 3 size_t, -1 short
    bool narrow = false;
    if (*p == u'h') {
      ++p;
      if (*p == u'h') ++p;
      size = -1;
      narrow = true;
    } else if (*p == u'l') {
      ++p;
      size = 1;
      if (*p == u'l') {
        ++p;
        size = 2;
      }
    } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
      p += 3;
      size = 2;
    } else if (*p == u'z') {
      ++p;
      size = 3;
    }
    switch (*p) {
      case u'd':
      case u'i': {
        int64_t v;
        if (size == 2) v = va_arg(args, long long);
        else if (size == 1) v = va_arg(args, long);
        else if (size == 3) v = static_cast<int64_t>(va_arg(args, ptrdiff_t));
        else if (size == -1) v = static_cast<short>(va_arg(args, int));
        else v = va_arg(args, int);
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        PutInteger(sink, conv, magnitude, v < 0, 10, false);
        break;
      }
      case u'u':
      case u'x':
      case u'X': {
        uint64_t v;
        if (size == 2) v = va_arg(args, unsigned long long);
        else if (size == 1) v = va_arg(args, unsigned long);
        else if (size == 3) v = va_arg(args, size_t);
        else if (size == -1) v = static_cast<unsigned short>(va_arg(args, unsigned));
        else v = va_arg(args, unsigned);
        PutInteger(sink, conv, v, false, *p == u'u' ? 10 : 16, *p == u'X');
        break;
      }
      case u'c': {
        char16_t c = static_cast<char16_t>(va_arg(args, int));
        Conversion s = conv;
        s.precision = -1;
        s.zero = false;
        const char16_t none[1] = {0};
        PutPadded(sink, s, none, &c, 1);
        break;
      }
      case u's': {
        const char16_t none[1] = {0};
        Conversion s = conv;
        s.zero = false;
        int limit = conv.precision;
        s.precision = -1;
        if (narrow) {
          const char* text = va_arg(args, const char*);
          if (text == nullptr) text = "(null)";
          int n = 0;
          while (text[n] != 0 && (limit < 0 || n < limit)) ++n;
          char16_t unit[1];
          int pad = s.width > n ? s.width - n : 0;
          if (!s.left) sink.Repeat(u' ', pad);
          for (int i = 0; i < n; ++i) {
            unit[0] = static_cast<unsigned char>(text[i]);
            sink.Put(unit[0]);
          }
          if (s.left) sink.Repeat(u' ', pad);
        } else {
          const char16_t* text = va_arg(args, const char16_t*);
          if (text == nullptr) text = u"(null)";
          int n = 0;
          while (text[n] != 0 && (limit < 0 || n < limit)) ++n;
          PutPadded(sink, s, none, text, n);
        }
        break;
      }
      default:
        sink.Finish();
        return -1;
    }
  }
  sink.Finish();
  return static_cast<int>(sink.length);
}

int FormatText(char16_t* out, size_t capacity, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = FormatTextV(out, capacity, format, args);
  va_end(args);
  return n;
}

size_t TextLength(const char16_t* text) {
  if (text == nullptr) return 0;
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

size_t TextLengthMax(const char16_t* text, size_t maximum) {
  if (text == nullptr) return 0;
  size_t n = 0;
  while (n < maximum && text[n] != 0) ++n;
  return n;
}

size_t TextCopy(char16_t* out, size_t capacity, const char16_t* text) {
  if (out == nullptr || capacity == 0) return 0;
  size_t n = 0;
  if (text != nullptr)
    for (; n + 1 < capacity && text[n] != 0; ++n) out[n] = text[n];
  out[n] = 0;
  return n;
}

size_t TextAppend(char16_t* out, size_t capacity, const char16_t* text) {
  if (out == nullptr || capacity == 0) return 0;
  size_t start = TextLengthMax(out, capacity - 1);
  return TextCopy(out + start, capacity - start, text);
}

int TextCompare(const char16_t* a, const char16_t* b) {
  if (a == nullptr) a = u"";
  if (b == nullptr) b = u"";
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (*a == 0) return 0;
  }
}

int TextCompareNoCase(const char16_t* a, const char16_t* b) {
  if (a == nullptr) a = u"";
  if (b == nullptr) b = u"";
  for (;; ++a, ++b) {
    char16_t x = LowerChar(*a), y = LowerChar(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

bool TextEqual(const char16_t* a, const char16_t* b) { return TextCompare(a, b) == 0; }
bool TextEqualNoCase(const char16_t* a, const char16_t* b) { return TextCompareNoCase(a, b) == 0; }

ptrdiff_t TextFind(const char16_t* text, const char16_t* part) {
  if (text == nullptr || part == nullptr) return -1;
  if (part[0] == 0) return 0;
  for (size_t i = 0; text[i] != 0; ++i) {
    size_t j = 0;
    while (part[j] != 0 && text[i + j] == part[j]) ++j;
    if (part[j] == 0) return static_cast<ptrdiff_t>(i);
  }
  return -1;
}

void TextLowerInPlace(char16_t* text) {
  if (text == nullptr) return;
  for (; *text != 0; ++text) *text = LowerChar(*text);
}

size_t Utf8ToWide(const char* text, ptrdiff_t length, char16_t* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  size_t n = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t end = 0;
  if (text != nullptr) {
    if (length < 0)
      while (s[end] != 0) ++end;
    else
      end = static_cast<size_t>(length);
  }
  auto put = [&](uint32_t cp) {
    if (cp >= 0x10000) {
      if (n + 2 >= capacity) return false;
      cp -= 0x10000;
      out[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      out[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      return true;
    }
    if (n + 1 >= capacity) return false;
    out[n++] = static_cast<char16_t>(cp);
    return true;
  };
  for (size_t i = 0; i < end;) {
    unsigned char c = s[i];
    uint32_t cp = 0xFFFD;
    size_t extra = 0;
    uint32_t minimum = 0;
    if (c < 0x80) cp = c;
    else if ((c & 0xE0) == 0xC0) extra = 1, cp = c & 0x1F, minimum = 0x80;
    else if ((c & 0xF0) == 0xE0) extra = 2, cp = c & 0x0F, minimum = 0x800;
    else if ((c & 0xF8) == 0xF0) extra = 3, cp = c & 0x07, minimum = 0x10000;
    else extra = 0, cp = 0xFFFD;
    size_t k = 1;
    for (; k <= extra; ++k) {
      if (i + k >= end || (s[i + k] & 0xC0) != 0x80) break;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (k <= extra) {
      cp = 0xFFFD;
      i += k;
    } else {
      i += extra + 1;
      if (extra > 0 && (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) cp = 0xFFFD;
    }
    if (!put(cp)) break;
  }
  out[n] = 0;
  return n;
}

size_t WideToUtf8(const char16_t* text, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  size_t n = 0;
  for (size_t i = 0; text != nullptr && text[i] != 0; ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    char bytes[4];
    size_t k;
    if (cp < 0x80) bytes[0] = static_cast<char>(cp), k = 1;
    else if (cp < 0x800) bytes[0] = static_cast<char>(0xC0 | (cp >> 6)), bytes[1] = static_cast<char>(0x80 | (cp & 0x3F)), k = 2;
    else if (cp < 0x10000) bytes[0] = static_cast<char>(0xE0 | (cp >> 12)), bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), bytes[2] = static_cast<char>(0x80 | (cp & 0x3F)), k = 3;
    else bytes[0] = static_cast<char>(0xF0 | (cp >> 18)), bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F)), bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), bytes[3] = static_cast<char>(0x80 | (cp & 0x3F)), k = 4;
    if (n + k >= capacity) break;
    for (size_t j = 0; j < k; ++j) out[n++] = bytes[j];
  }
  out[n] = 0;
  return n;
}

std::string Utf8(const char16_t* text) {
  std::string out(TextLength(text) * 3 + 1, '\0');
  out.resize(WideToUtf8(text, out.data(), out.size()));
  return out;
}

std::u16string Utf16(const std::string& utf8) {
  std::u16string out(utf8.size() + 1, u'\0');
  out.resize(Utf8ToWide(utf8.c_str(), static_cast<ptrdiff_t>(utf8.size()), out.data(), out.size()));
  return out;
}

std::string EscapeControls(const std::string& utf8) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto c = static_cast<unsigned char>(utf8[i]);
    auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
    auto third = i + 2 < utf8.size() ? static_cast<unsigned char>(utf8[i + 2]) : 0;
    unsigned code;
    if (c < 0x20 || c == 0x7F) {
      code = c;
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // C1: U+0080 to U+009F
      code = next;
      i += 1;
    } else if (c == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9)) {  // U+2028, U+2029
      out += third == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
      continue;
    } else {
      out += static_cast<char>(c);
      continue;
    }
    out += "\\x";
    out += HEX[code >> 4];
    out += HEX[code & 0xF];
  }
  return out;
}

}  // namespace platform
