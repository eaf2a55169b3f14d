#pragma once
// Turns the bytes read from a tty in PARMRK mode back into line data.
//
// The line settings always ask the kernel to mark line conditions in the
// input stream: a data byte 0xFF arrives doubled, a break arrives as
// FF 00 00 and a byte with a parity or framing error as FF 00 <byte>. The
// decoder removes the marks, reports break and line errors as flags, and
// applies the port's NUL discarding, error replacement and event-character
// watch. Sequences split across reads are carried over.
#include <cstdint>
#include <string>

namespace px {

class TInputDecoder {
public:
  struct Options {
    bool discardNull = false;
    bool replaceErrors = false;  // a byte with a line error becomes replaceChar
    uint8_t replaceChar = 0;
    uint8_t eventChar = 0;
  };
  struct Result {
    bool sawBreak = false;
    bool sawError = false;
    bool sawEventChar = false;
  };

  void SetOptions(const Options& o) { opt_ = o; }
  const Options& GetOptions() const { return opt_; }
  // Appends the decoded bytes of raw[0..n) to out and reports what was seen.
  Result Feed(const char* raw, size_t n, std::string& out);
  // Forgets a half-received mark (after a purge).
  void Reset() { state_ = 0; }

private:
  void Emit(uint8_t c, std::string& out, Result& r) const;
  Options opt_;
  int state_ = 0;  // 0 plain, 1 after FF, 2 after FF 00
};

}  // namespace px
