// The transaction grid: line keeping, sequence numbers, the texts the client
// poll reads, and the cell model a screen or web monitor paints from.
#include <gtest/gtest.h>

#include <string>

#include "monitor/TransOnlineForm.h"

namespace px {
namespace {

void Add(TTransOnlineForm& f, const std::string& device, const std::string& code = "0",
         const std::string& text = "Valid Card", const std::string& seq = "0") {
  f.AppendOneLine(device, "02/01/2027", seq, code, text, "Ann", "001234", "S1", "23:59");
}

TEST(TransOnlineForm, CreatedWithHeaderOnly) {
  TTransOnlineForm f;
  EXPECT_EQ(f.LineCount(), 0);
  EXPECT_EQ(f.CellText(0, 0), "Device Name");
  EXPECT_EQ(f.CellText(0, 6), "Transaction          ");
  EXPECT_EQ(f.CellText(0, 7), "");
  const int widths[] = {100, 80, 40, 80, 60, 200, 150, 64, 64};
  for (int c = 0; c < 9; ++c) EXPECT_EQ(f.ColWidth(c), widths[c]) << c;
  EXPECT_EQ(f.Top(), 100);
  EXPECT_EQ(f.Left(), 80);
  EXPECT_FALSE(f.Visible());
  // The header row: every header right-aligned in its field, the two
  // unnamed columns empty.
  EXPECT_EQ(f.GetLastRec(), " Device Name    DateTime Card#");
  EXPECT_EQ(f.ExtractAllOnline(), "");
}

TEST(TransOnlineForm, LineCellsAndPadding) {
  TTransOnlineForm f;
  Add(f, "Door1");
  EXPECT_EQ(f.CellText(1, 0), "     Door1");
  EXPECT_EQ(f.CellText(1, 1), "02/01/2027");
  EXPECT_EQ(f.CellText(1, 2), "23:59");
  EXPECT_EQ(f.CellText(1, 3), "S1");
  EXPECT_EQ(f.CellText(1, 4), "001234");
  EXPECT_EQ(f.CellText(1, 5), "Ann");
  EXPECT_EQ(f.CellText(1, 6), "Valid Card" + std::string(23, ' '));
  EXPECT_EQ(f.CellText(1, 7), "0");
  EXPECT_EQ(f.CellText(1, 8), "1");
  EXPECT_EQ(f.GetLastRec(), "       Door102/01/202723:59001234" "01");
  EXPECT_EQ(f.ExtractAllOnline(), "     Door1,02/01/2027,23:59,S1,001234,Ann,Valid Card" + std::string(23, ' ') + ",0,1;");

  // A text of 34 characters is shown whole; a given sequence is kept as given.
  std::string longText(34, 'x');
  Add(f, "Door2", "9", longText, "77");
  EXPECT_EQ(f.CellText(2, 6), longText);
  EXPECT_EQ(f.CellText(2, 8), "77");
  EXPECT_EQ(f.Sequence(), 1);
}

TEST(TransOnlineForm, FiftiethLinePushesOutTheFirst) {
  TTransOnlineForm f;
  for (int i = 1; i <= 49; ++i) Add(f, "D" + std::to_string(i));
  EXPECT_EQ(f.LineCount(), 49);
  EXPECT_EQ(f.CellText(1, 0), "     D1");
  Add(f, "D50");
  EXPECT_EQ(f.LineCount(), 49);
  EXPECT_EQ(f.CellText(1, 0), "     D2");
  EXPECT_EQ(f.CellText(48, 0), "     D49");
  EXPECT_EQ(f.CellText(49, 0), "     D50");
  EXPECT_EQ(f.CellText(49, 8), "50");
  std::string all = f.ExtractAllOnline();
  EXPECT_EQ(all.find("     D1,"), std::string::npos);
  EXPECT_EQ(all.substr(0, 8), "     D2,");
  EXPECT_EQ(std::count(all.begin(), all.end(), ';'), 49);
}

TEST(TransOnlineForm, SequenceWrapsFrom999To1) {
  TTransOnlineForm f;
  for (int i = 0; i < 999; ++i) Add(f, "D");
  EXPECT_EQ(f.CellText(49, 8), "999");
  Add(f, "D");
  EXPECT_EQ(f.CellText(49, 8), "1");
  Add(f, "D");
  EXPECT_EQ(f.CellText(49, 8), "2");
}

TEST(TransOnlineForm, LongDeviceNameMakesLastRecLonger) {
  TTransOnlineForm f;
  Add(f, "ABCDEFGHIJKLM");  // 13 characters, 18 with the icon blanks
  std::string rec = f.GetLastRec();
  EXPECT_EQ(rec.substr(0, 18), "     ABCDEFGHIJKLM");
  EXPECT_EQ(rec, "     ABCDEFGHIJKLM02/01/202723:5900123401");
}

TEST(TransOnlineForm, NewestLineStaysInView) {
  TTransOnlineForm f;
  f.Resize(880, 39 + 53 + 18 * 10);  // a grid with room for ten rows
  EXPECT_EQ(f.VisibleRows(), 10);
  for (int i = 0; i < 10; ++i) Add(f, "D");
  EXPECT_EQ(f.TopRow(), 1);
  Add(f, "D");
  EXPECT_EQ(f.TopRow(), 1);  // 11 lines - 10 visible
  for (int i = 0; i < 5; ++i) Add(f, "D");
  EXPECT_EQ(f.TopRow(), 6);
  // Resizing counts three rows fewer than the grid arithmetic.
  f.Resize(880, 53 + 18 * 10);
  EXPECT_EQ(f.TopRow(), 16 - 7);
  f.Resize(880, 53 + 18 * 30);
  EXPECT_EQ(f.TopRow(), 1);
  // A window too small for any row still keeps a valid top row.
  f.Resize(880, 10);
  EXPECT_GE(f.TopRow(), 1);
  EXPECT_LE(f.TopRow(), f.LineCount());
}

TEST(TransOnlineForm, CellModel) {
  TTransOnlineForm f;
  Add(f, "Door1", "0");
  Add(f, "Door2", "0000I");
  Add(f, "Door3", "*0");

  TCellStyle h = f.CellStyle(0, 0);
  EXPECT_TRUE(h.drawn);
  EXPECT_EQ(h.text, TTransOnlineForm::kBlack);
  EXPECT_TRUE(h.buttonFace);
  EXPECT_EQ(h.icon, TRowImage::None);
  EXPECT_EQ(h.drawnText, "  Device Name");

  TCellStyle c = f.CellStyle(1, 5);
  EXPECT_TRUE(c.drawn);
  EXPECT_EQ(c.text, (TColor{0, 128, 0}));
  EXPECT_EQ(c.back, (TColor{255, 255, 255}));
  EXPECT_FALSE(c.buttonFace);
  EXPECT_EQ(c.padLeft, 2);
  EXPECT_EQ(c.padRight, 2);
  EXPECT_EQ(c.padBottom, 2);
  EXPECT_EQ(c.drawnText, "  Ann");
  EXPECT_EQ(f.CellStyle(1, 6).padRight, 100);  // the last drawn column reaches further
  EXPECT_FALSE(f.CellStyle(1, 7).drawn);
  EXPECT_FALSE(f.CellStyle(1, 8).drawn);

  // A fifth code character "I" selects the alarm image, shown in column 0 only.
  EXPECT_EQ(f.RowIcon(1), TRowImage::None);
  EXPECT_EQ(f.RowIcon(2), TRowImage::ImgI_ALM);
  EXPECT_EQ(f.CellStyle(2, 0).icon, TRowImage::ImgI_ALM);
  EXPECT_EQ(f.CellStyle(2, 0).iconLeft, 2);
  EXPECT_EQ(f.CellStyle(2, 1).icon, TRowImage::None);
  EXPECT_STREQ(RowImageName(TRowImage::ImgI_ALM), "ImgI_ALM");

  // A code beginning with "*" hides the row.
  EXPECT_FALSE(f.RowHidden(1));
  EXPECT_TRUE(f.RowHidden(3));
  EXPECT_FALSE(f.CellStyle(3, 0).drawn);
  // Out-of-range cells read empty.
  EXPECT_EQ(f.CellText(50, 0), "");
  EXPECT_FALSE(f.CellStyle(-1, 0).drawn);
}

TEST(TransOnlineForm, WindowEvents) {
  TTransOnlineForm f;
  f.Show();
  EXPECT_TRUE(f.Visible());
  Add(f, "Door1");
  f.Close();
  EXPECT_FALSE(f.Visible());
  EXPECT_EQ(f.LineCount(), 1);  // hidden, not destroyed
  f.SelectCell(1, 3);
  EXPECT_EQ(f.SelectedRow(), 1);
  f.SelectCell(70, 3);
  EXPECT_EQ(f.SelectedRow(), 1);
}

}  // namespace
}  // namespace px
