#include "monitor/TransOnlineForm.h"

#include <algorithm>

#include "common/Format.h"

namespace px {

namespace {
struct ColumnDef {
  const char* header;
  int width;
};
// Column 0 leaves five blanks before the device name for the row icon;
// columns 7 and 8 (code and sequence) keep their width but are never drawn.
constexpr ColumnDef kColumns[TTransOnlineForm::kColCount] = {
    {"Device Name", 100}, {"Date", 80},  {"Time", 40}, {"Staff#", 80}, {"Card#", 60},
    {"Name", 200},        {"Transaction          ", 150}, {"", 64}, {"", 64},
};
constexpr int kLastDrawnCol = 6;
constexpr int kCodeCol = 7;
constexpr int kSeqCol = 8;
const std::string kEmpty;
}  // namespace

const char* RowImageName(TRowImage image) {
  switch (image) {
    case TRowImage::ImgI_ALM: return "ImgI_ALM";
    case TRowImage::ImgI_INF: return "ImgI_INF";
    case TRowImage::ImgI_STP: return "ImgI_STP";
    case TRowImage::ImgI_USR: return "ImgI_USR";
    case TRowImage::None: break;
  }
  return "";
}

TTransOnlineForm::TTransOnlineForm() { SetTitleBar(); }
TTransOnlineForm::~TTransOnlineForm() = default;

void TTransOnlineForm::SetTitleBar() {
  for (int c = 0; c < kColCount; ++c) {
    cells_[0][static_cast<size_t>(c)] = kColumns[c].header;
    widths_[static_cast<size_t>(c)] = kColumns[c].width;
  }
  width_ += 20;
}

bool TTransOnlineForm::ValidCell(int row, int col) const {
  return row >= 0 && row < kRowCount && col >= 0 && col < kColCount;
}

const std::string& TTransOnlineForm::CellText(int row, int col) const {
  if (!ValidCell(row, col)) return kEmpty;
  return cells_[static_cast<size_t>(row)][static_cast<size_t>(col)];
}

int TTransOnlineForm::ColWidth(int col) const {
  return col >= 0 && col < kColCount ? widths_[static_cast<size_t>(col)] : 0;
}

void TTransOnlineForm::AppendOneLine(const std::string& device, const std::string& date, const std::string& sequence,
                                     const std::string& code, const std::string& text, const std::string& name,
                                     const std::string& card, const std::string& staff, const std::string& time) {
  if (lines_ >= kMaxLines) {
    // The oldest line goes; every other moves up one row (the oldest row's
    // cells are rotated to the bottom and overwritten below).
    std::rotate(cells_.begin() + 1, cells_.begin() + 2, cells_.begin() + kMaxLines + 1);
  } else {
    ++lines_;
  }
  auto& row = cells_[static_cast<size_t>(lines_)];
  row[0] = "     " + device;
  row[1] = date;
  row[2] = time;
  row[3] = staff;
  row[4] = card;
  row[5] = name;
  row[6] = text.size() < kTextWidth ? text + std::string(kTextWidth - text.size(), ' ') : text;
  row[kCodeCol] = code;
  if (sequence == "0") {
    if (++sequence_ > kMaxSequence) sequence_ = 1;
    row[kSeqCol] = std::to_string(sequence_);
  } else {
    row[kSeqCol] = sequence;
  }
  KeepNewestInView();
}

int TTransOnlineForm::VisibleRows() const { return (gridHeight_ - 53) / kRowHeight; }

void TTransOnlineForm::KeepNewestInView() {
  int visible = VisibleRows();
  topRow_ = visible < lines_ ? lines_ - visible : 1;
}

void TTransOnlineForm::Resize(int width, int height) {
  width_ = width;
  height_ = height;
  gridHeight_ = std::max(0, height - kFrameHeight);
  int visible = (height - 53) / kRowHeight - 3;
  topRow_ = visible > lines_ ? 1 : lines_ - visible;
  // The grid cannot scroll its header away or past its last line.
  topRow_ = std::clamp(topRow_, 1, std::max(1, lines_));
}

void TTransOnlineForm::SelectCell(int row, int col) {
  if (ValidCell(row, col)) selectedRow_ = row;
}

std::string TTransOnlineForm::GetLastRec() const {
  const auto& r = cells_[static_cast<size_t>(lines_)];
  return Format("%12s%8s%4s%6s%s%s", r[0].c_str(), r[1].c_str(), r[2].c_str(), r[4].c_str(), r[kCodeCol].c_str(),
                r[kSeqCol].c_str());
}

std::string TTransOnlineForm::ExtractAllOnline() const {
  std::string out;
  for (int r = 1; r <= lines_; ++r) {
    const auto& row = cells_[static_cast<size_t>(r)];
    for (int c = 0; c < kColCount; ++c) {
      out += row[static_cast<size_t>(c)];
      out += c + 1 < kColCount ? ',' : ';';
    }
  }
  return out;
}

TRowImage TTransOnlineForm::RowIcon(int row) const {
  if (!ValidCell(row, kCodeCol)) return TRowImage::None;
  std::string code = cells_[static_cast<size_t>(row)][kCodeCol];
  if (code.empty()) code = "     ";
  return code.size() >= 5 && code[4] == 'I' ? TRowImage::ImgI_ALM : TRowImage::None;
}

bool TTransOnlineForm::RowHidden(int row) const {
  if (!ValidCell(row, kCodeCol)) return false;
  const std::string& code = cells_[static_cast<size_t>(row)][kCodeCol];
  return !code.empty() && code[0] == '*';
}

TCellStyle TTransOnlineForm::CellStyle(int row, int col) const {
  TCellStyle s;
  if (!ValidCell(row, col) || col > kLastDrawnCol || RowHidden(row)) return s;
  s.drawn = true;
  if (row == 0) {
    s.text = kBlack;
    s.back = kButtonFace;
    s.buttonFace = true;
  } else {
    s.text = kTextGreen;
    s.back = kWhite;
  }
  s.padLeft = 2;
  s.padRight = col == kLastDrawnCol ? 100 : 2;
  s.padBottom = 2;
  s.textTop = 2;
  s.drawnText = "  " + CellText(row, col);
  if (col == 0 && row > 0) {
    s.icon = RowIcon(row);
    if (s.icon != TRowImage::None) s.iconLeft = 2;
  }
  return s;
}

}  // namespace px
