#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace px {

// A screen colour.
struct TColor {
  std::uint8_t r = 0, g = 0, b = 0;
  bool operator==(const TColor&) const = default;
};

// The 16x16 row images the form carries. Only ImgI_ALM is selected by a row.
enum class TRowImage { None, ImgI_ALM, ImgI_INF, ImgI_STP, ImgI_USR };
const char* RowImageName(TRowImage image);

// How one cell is painted: what a screen or a web monitor needs to show it
// the way the window does.
struct TCellStyle {
  bool drawn = false;        // false for columns 7 and 8 and for hidden rows
  TColor text;               // text colour
  TColor back;               // background (and its outline)
  bool buttonFace = false;   // the background is the system button-face colour
  int padLeft = 0;           // background reaches this far left of the cell
  int padRight = 0;          // ... and this far right of it (100 for the last drawn column)
  int padBottom = 0;         // ... and this far below it
  int textTop = 0;           // text starts this far below the cell's top
  std::string drawnText;     // two blanks and the cell text
  TRowImage icon = TRowImage::None;  // stretched to 16x16 two pixels right of column 0's left edge
  int iconLeft = 0;
};

// The "Transactions" window as a headless grid model: 50 rows of 9 columns,
// row 0 the header, so at most 49 transaction lines, newest at the bottom.
// Transaction storage adds lines; the client poll reads the last line and
// the whole grid. Loop thread only.
class TTransOnlineForm {
public:
  static constexpr int kRowCount = 50;
  static constexpr int kColCount = 9;
  static constexpr int kMaxLines = kRowCount - 1;
  static constexpr int kRowHeight = 18;
  static constexpr int kTextWidth = 33;   // transaction texts are padded to this
  static constexpr int kMaxSequence = 999;
  static inline const TColor kTextGreen{0, 128, 0};
  static inline const TColor kWhite{255, 255, 255};
  static inline const TColor kBlack{0, 0, 0};
  static inline const TColor kButtonFace{240, 240, 240};

  TTransOnlineForm();
  virtual ~TTransOnlineForm();

  // Adds one line; a sequence of "0" takes the next number (1..999, then 1
  // again). The 50th line pushes the oldest out.
  void AppendOneLine(const std::string& device, const std::string& date, const std::string& sequence,
                     const std::string& code, const std::string& text, const std::string& name,
                     const std::string& card, const std::string& staff, const std::string& time);
  // The last line (the header row when there is none) as
  // "%12s%8s%4s%6s%s%s" of columns 0, 1, 2, 4, 7 and 8; nothing is cut.
  std::string GetLastRec() const;
  // Every line, oldest first: cells joined by "," and each line ended by ";".
  std::string ExtractAllOnline() const;
  int LineCount() const { return lines_; }
  int Sequence() const { return sequence_; }

  // The grid.
  const std::string& CellText(int row, int col) const;
  int ColWidth(int col) const;
  int TopRow() const { return topRow_; }
  // Rows that fit in the grid: (grid height - 53) div 18.
  int VisibleRows() const;
  int GridHeight() const { return gridHeight_; }
  TCellStyle CellStyle(int row, int col) const;
  TRowImage RowIcon(int row) const;
  // Rows whose code column begins with "*" are not drawn.
  bool RowHidden(int row) const;

  // Window events.
  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  bool Visible() const { return visible_; }
  void Show() { visible_ = true; }
  // Closing hides the window; it lives on with its lines.
  void Close() { visible_ = false; }
  // The window was resized; the grid fills its client area.
  void Resize(int width, int height);
  void SelectCell(int row, int col);
  int SelectedRow() const { return selectedRow_; }

private:
  void SetTitleBar();
  void KeepNewestInView();
  bool ValidCell(int row, int col) const;
  // Caption and borders between the window's height and its grid's.
  static constexpr int kFrameHeight = 39;

  std::array<std::array<std::string, kColCount>, kRowCount> cells_{};
  std::array<int, kColCount> widths_{};
  int lines_ = 0;
  int sequence_ = 0;
  int topRow_ = 1;
  int left_ = 80, top_ = 100, width_ = 860, height_ = 600;
  int gridHeight_ = 600 - kFrameHeight;
  bool visible_ = false;
  int selectedRow_ = 0;
};

}  // namespace px
