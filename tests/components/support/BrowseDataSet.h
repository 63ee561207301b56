// BrowseDataSet.h: a test dataset that fetches straight through its engine cursor, so field
// data and editing can be tested without the dataset's own navigation.
#pragma once

#include "schema/TolvanRecordBuffer.h"
#include "tests/components/support/TestDataSet.h"

namespace tolvan::test {

class TBrowseDataSet : public TTestDataSet {
protected:
  void MoveToBegin() override { Cursor()->SetToBegin(); }
  void MoveToEnd() override { Cursor()->SetCursorToEnd(); }
  void PositionOnRecord(uint8_t* Buffer) override {
    Cursor()->SetPosition(LoadRecordID(Buffer, Cursor()->RecordIDOffset()));
    Cursor()->SetBof(false);
    Cursor()->SetEof(false);
  }
  TGetResult FetchRecord(uint8_t* Buffer, TGetMode Mode, bool DoCheck) override {
    (void)DoCheck;
    TTolvanCursor& C = *Cursor();
    C.SetRecordBuffer(Buffer);
    switch (C.GetRecord(TTolvanGetRecordMode(Mode))) {
    case rrOK:
      StoreBookmarkFlag(Buffer, C.RecordIDOffset(), uint8_t(bfCurrent));
      return grOK;
    case rrBeginReached:
      return grBOF;
    case rrEndReached:
      return grEOF;
    default:
      return grError;
    }
  }
};

} // namespace tolvan::test
