#include "classlib/DataLinks.h"

#include <algorithm>

namespace tolvan {

// --- TDataSource -------------------------------------------------------------------------------

TDataSource::~TDataSource() {
  // Only after a teardown that could not finish: detach without notifications.
  if (FDataSet)
    std::erase(FDataSet->FDataSources, this);
  for (TDataLink* Link : FLinks) {
    Link->FDataSource = nullptr;
    Link->FActive = false;
  }
}

void TDataSource::BeforeDestruction() {
  std::exception_ptr Failure;
  try {
    SetDataSet(nullptr);
  } catch (...) {
    Failure = std::current_exception();
  }
  while (!FLinks.empty()) {
    TDataLink* Link = FLinks.back();
    FLinks.pop_back();
    Link->FDataSource = nullptr;
    KeepFirstFailure(Failure, [&] { Link->UpdateState(); });
  }
  KeepFirstFailure(Failure, [&] { TComponent::BeforeDestruction(); });
  if (Failure)
    std::rethrow_exception(Failure);
}

void TDataSource::SetDataSet(TDataSet* Value) {
  if (Value == FDataSet)
    return;
  if (FDataSet)
    std::erase(FDataSet->FDataSources, this);
  FDataSet = Value;
  if (Value)
    Value->FDataSources.push_back(this);
  UpdateState();
}

void TDataSource::SetEnabled(bool Value) {
  FEnabled = Value;
  UpdateState();
}

void TDataSource::UpdateState() {
  const TDataSetState Value = FEnabled && FDataSet ? FDataSet->State() : dsInactive;
  if (Value == FState)
    return;
  FState = Value;
  for (size_t I = 0; I < FLinks.size(); ++I)
    FLinks[I]->UpdateState();
}

void TDataSource::DataEvent(TDataEvent Event, TField* Field) {
  if (Event == deUpdateState) {
    UpdateState();
    return;
  }
  if (FState == dsInactive)
    return;
  for (size_t I = 0; I < FLinks.size(); ++I)
    FLinks[I]->DataEvent(Event, Field);
}

void TDataSource::AddLink(TDataLink* Link) { FLinks.push_back(Link); }

void TDataSource::RemoveLink(TDataLink* Link) noexcept { std::erase(FLinks, Link); }

// --- TDataLink ---------------------------------------------------------------------------------

TDataLink::~TDataLink() {
  if (FDataSource)
    FDataSource->RemoveLink(this);
}

void TDataLink::SetDataSource(TDataSource* Value) {
  if (Value == FDataSource)
    return;
  if (FDataSource)
    FDataSource->RemoveLink(this);
  FDataSource = Value;
  if (Value)
    Value->AddLink(this);
  UpdateState();
}

void TDataLink::UpdateState() {
  const bool Value = FDataSource && FDataSource->State() != dsInactive;
  if (Value == FActive)
    return;
  FActive = Value;
  ActiveChanged();
}

void TDataLink::DataEvent(TDataEvent Event, TField* Field) {
  switch (Event) {
  case deFieldChange:
  case deRecordChange:
    RecordChanged(Field);
    break;
  case deDataSetChange:
    DataSetChanged();
    break;
  case deDataSetScroll:
    DataSetScrolled();
    break;
  case deLayoutChange:
    LayoutChanged();
    break;
  case deCheckBrowseMode:
    CheckBrowseMode();
    break;
  default:
    break;
  }
}

// --- TMasterDataLink ---------------------------------------------------------------------------

void TMasterDataLink::SetFieldNames(std::string_view Value) {
  if (Value == FFieldNames)
    return;
  FFieldNames = Value;
  ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
  FFields.clear();
  if (Active()) {
    try {
      DataSet()->GetFieldList(FFields, FFieldNames);
    } catch (...) {
      FFields.clear();
      throw;
    }
  }
  if (!DetailActive() || (FDetail && (FDetail->ComponentState() & csDestroying)))
    return;
  if (Active() && !FFields.empty()) {
    if (FOnMasterChange)
      FOnMasterChange();
  } else if (FOnMasterDisable) {
    FOnMasterDisable();
  }
}

void TMasterDataLink::RecordChanged(TField* Field) {
  if (!Active() || FFields.empty() || DataSource()->State() == dsSetKey || !DetailActive())
    return;
  if (Field && std::find(FFields.begin(), FFields.end(), Field) == FFields.end())
    return;
  if (FOnMasterChange)
    FOnMasterChange();
}

} // namespace tolvan
