#include "serial/InputDecoder.h"

namespace px {

void TInputDecoder::Emit(uint8_t c, std::string& out, Result& r) const {
  if (c == opt_.eventChar) r.sawEventChar = true;
  if (c == 0 && opt_.discardNull) return;
  out.push_back(static_cast<char>(c));
}

TInputDecoder::Result TInputDecoder::Feed(const char* raw, size_t n, std::string& out) {
  Result r;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = static_cast<uint8_t>(raw[i]);
    switch (state_) {
      case 0:
        if (c == 0xFF)
          state_ = 1;
        else
          Emit(c, out, r);
        break;
      case 1:
        if (c == 0xFF) {
          Emit(0xFF, out, r);
          state_ = 0;
        } else if (c == 0x00) {
          state_ = 2;
        } else {
          // Not a mark the kernel produces; keep both bytes rather than lose data.
          Emit(0xFF, out, r);
          Emit(c, out, r);
          state_ = 0;
        }
        break;
      default:
        state_ = 0;
        if (c == 0x00) {
          r.sawBreak = true;
        } else {
          r.sawError = true;
          Emit(opt_.replaceErrors ? opt_.replaceChar : c, out, r);
        }
        break;
    }
  }
  return r;
}

}  // namespace px
