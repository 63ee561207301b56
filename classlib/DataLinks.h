// DataLinks.h: data sources and the links that follow a dataset through them.
//
// A TDataSource connects one dataset to any number of TDataLinks. The dataset passes its data
// events to every enabled source (unless its controls are disabled); the source keeps the
// dataset's state (inactive while disabled or without a dataset) and hands the events to its
// links. A link is Active while its source shows an active dataset; a change of that calls
// ActiveChanged.
//
// TMasterDataLink follows a master dataset for a detail: while active, its field names resolve
// to the master's fields, and OnMasterChange fires when it becomes active with fields and when
// the master's record changes (a scroll, a post, a change of one of those fields), never while
// the master edits a key (dsSetKey). OnMasterDisable fires when the link stops being active.
// Both fire only while the detail dataset is active.
//
// Ownership: a source knows its links and its dataset without owning them. A freed dataset
// clears its sources' dataset; a freed source detaches its links; a link leaves its source when
// it is destroyed.
//
// Threads: a source and its links belong to their dataset's thread.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "classlib/Components.h"
#include "classlib/DB.h"
#include "classlib/DataSet.h"

namespace tolvan {

class TDataLink;

class TDataSource : public TComponent {
public:
  TDataSource() = default;

  TDataSet* DataSet() const noexcept { return FDataSet; }
  // Leaves the old dataset and joins the new one; the links hear the change of state.
  void SetDataSet(TDataSet* Value);
  bool Enabled() const noexcept { return FEnabled; }
  void SetEnabled(bool Value);
  // The dataset's state; dsInactive without a dataset or while disabled.
  TDataSetState State() const noexcept { return FState; }
  int32_t LinkCount() const noexcept { return static_cast<int32_t>(FLinks.size()); }

protected:
  ~TDataSource() override;
  void BeforeDestruction() override;

private:
  friend class TDataSet;
  friend class TDataLink;

  void DataEvent(TDataEvent Event, TField* Field);
  void UpdateState();
  void AddLink(TDataLink* Link);
  void RemoveLink(TDataLink* Link) noexcept;

  TDataSet* FDataSet = nullptr;
  bool FEnabled = true;
  TDataSetState FState = dsInactive;
  std::vector<TDataLink*> FLinks;
};

class TDataLink {
public:
  TDataLink() = default;
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;
  // Leaves its source quietly (no ActiveChanged).
  virtual ~TDataLink();

  TDataSource* DataSource() const noexcept { return FDataSource; }
  void SetDataSource(TDataSource* Value);
  TDataSet* DataSet() const noexcept { return FDataSource ? FDataSource->DataSet() : nullptr; }
  bool Active() const noexcept { return FActive; }

protected:
  virtual void ActiveChanged() {}
  // Field is the changed field, or nil for the record as a whole.
  virtual void RecordChanged(TField* Field) { (void)Field; }
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled() { DataSetChanged(); }
  virtual void LayoutChanged() { DataSetChanged(); }
  // The dataset is about to leave a pending change.
  virtual void CheckBrowseMode() {}

private:
  friend class TDataSource;

  void UpdateState();
  void DataEvent(TDataEvent Event, TField* Field);

  TDataSource* FDataSource = nullptr;
  bool FActive = false;
};

// A link whose owner is a detail dataset.
class TDetailDataLink : public TDataLink {
public:
  virtual TDataSet* DetailDataSet() const { return nullptr; }
};

using TLinkNotifyEvent = std::function<void()>;

class TMasterDataLink : public TDetailDataLink {
public:
  // DataSet is the detail dataset the link works for (may be nil).
  explicit TMasterDataLink(TDataSet* DataSet = nullptr) noexcept : FDetail(DataSet) {}

  TDataSet* DetailDataSet() const override { return FDetail; }
  const AnsiString& FieldNames() const noexcept { return FFieldNames; }
  // A ';' list of master fields; a change re-resolves them.
  void SetFieldNames(std::string_view Value);
  // The master's fields of FieldNames while active; empty otherwise.
  const std::vector<TField*>& Fields() const noexcept { return FFields; }

  const TLinkNotifyEvent& OnMasterChange() const noexcept { return FOnMasterChange; }
  void SetOnMasterChange(TLinkNotifyEvent Value) { FOnMasterChange = std::move(Value); }
  const TLinkNotifyEvent& OnMasterDisable() const noexcept { return FOnMasterDisable; }
  void SetOnMasterDisable(TLinkNotifyEvent Value) { FOnMasterDisable = std::move(Value); }

protected:
  void ActiveChanged() override;
  void RecordChanged(TField* Field) override;

private:
  bool DetailActive() const noexcept { return !FDetail || FDetail->Active(); }

  TDataSet* FDetail;
  AnsiString FFieldNames;
  std::vector<TField*> FFields;
  TLinkNotifyEvent FOnMasterChange;
  TLinkNotifyEvent FOnMasterDisable;
};

} // namespace tolvan
