#include "classlib/Components.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <typeinfo>

#include "classlib/Format.h"

namespace tolvan {

namespace {

std::mutex HandlerLock;
TApplicationExceptionHandler& Handler() {
  static TApplicationExceptionHandler H;
  return H;
}

void DefaultHandler(std::exception_ptr E) {
  try {
    std::rethrow_exception(E);
  } catch (const std::exception& X) {
    std::fprintf(stderr, "Exception: %s\n", X.what());
  } catch (...) {
    std::fprintf(stderr, "Exception: unknown failure\n");
  }
}

bool IsIdentifierStart(char C) {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || C == '_';
}

bool IsValidName(std::string_view Name) {
  if (Name.empty())
    return true;
  if (!IsIdentifierStart(Name[0]))
    return false;
  for (char C : Name.substr(1))
    if (!IsIdentifierStart(C) && !(C >= '0' && C <= '9'))
      return false;
  return true;
}

void KeepFirst(std::exception_ptr& Failure) noexcept {
  if (!Failure)
    Failure = std::current_exception();
}

} // namespace

TApplicationExceptionHandler SetApplicationExceptionHandler(TApplicationExceptionHandler H) {
  std::lock_guard<std::mutex> Guard(HandlerLock);
  return std::exchange(Handler(), std::move(H));
}

void ApplicationHandleException(std::exception_ptr E) noexcept {
  if (!E)
    return;
  try {
    TApplicationExceptionHandler H;
    {
      std::lock_guard<std::mutex> Guard(HandlerLock);
      H = Handler();
    }
    if (H)
      H(E);
    else
      DefaultHandler(E);
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------------

void TPersistent::Assign(const TPersistent& Source) { Source.AssignTo(*this); }

void TPersistent::AssignTo(TPersistent& Dest) const {
  throw EConvertError(Format(SysConst::SAssignError, ClassName(), Dest.ClassName()));
}

std::string TPersistent::ClassName() const {
  const char* Mangled = typeid(*this).name();
  int Status = 0;
  std::unique_ptr<char, decltype(&std::free)> Demangled(
      abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status), &std::free);
  std::string_view Full = Status == 0 && Demangled ? Demangled.get() : Mangled;
  // Drop namespaces, but not those inside template arguments.
  std::string_view Head = Full.substr(0, Full.find('<'));
  size_t Colons = Head.rfind("::");
  return std::string(Colons == std::string_view::npos ? Full : Full.substr(Colons + 2));
}

// ---------------------------------------------------------------------------------------------

void TFreeDeleter::operator()(TComponent* Component) const noexcept {
  try {
    Component->Free();
  } catch (...) {
    ApplicationHandleException(std::current_exception());
  }
}

TComponent::~TComponent() = default;

TComponent* TComponent::Components(int32_t Index) const {
  if (Index < 0 || Index >= ComponentCount())
    throw EListError(Format(SysConst::SListIndexError, Index));
  return FComponents[static_cast<size_t>(Index)];
}

TComponent* TComponent::FindComponent(std::string_view Name) const {
  if (Name.empty())
    return nullptr;
  for (TComponent* C : FComponents)
    if (AnsiSameText(C->FName, Name))
      return C;
  return nullptr;
}

void TComponent::SetName(std::string_view NewName) {
  if (!IsValidName(NewName))
    throw EComponentError(Format(SysConst::SInvalidName, NewName));
  if (FOwner && !NewName.empty()) {
    TComponent* Other = FOwner->FindComponent(NewName);
    if (Other && Other != this)
      throw EComponentError(Format(SysConst::SDuplicateName, NewName));
  }
  Rename(AnsiString(NewName));
}

void TComponent::Rename(const AnsiString& NewName) { FName = NewName; }

void TComponent::SetStateDown(TComponentState Flag, bool Value) {
  if (Value)
    FComponentState |= Flag;
  else
    FComponentState &= static_cast<TComponentState>(~Flag);
  for (TComponent* C : FComponents)
    C->SetStateDown(Flag, Value);
}

void TComponent::SetDesigning(bool Value) { SetStateDown(csDesigning, Value); }

void TComponent::BeginLoading() { SetStateDown(csLoading, true); }

void TComponent::MarkLoaded() noexcept {
  if (FComponentState & csLoading) {
    FComponentState &= static_cast<TComponentState>(~csLoading);
    FAfterLoadingDue = true;
  }
  for (TComponent* C : FComponents)
    C->MarkLoaded();
}

TComponent* TComponent::NextLoaded() noexcept {
  if (FAfterLoadingDue)
    return this;
  for (TComponent* C : FComponents)
    if (TComponent* Due = C->NextLoaded())
      return Due;
  return nullptr;
}

void TComponent::EndLoading() {
  MarkLoaded();
  // AfterLoading may free or add components, so the next one due is looked up afresh each
  // time; trees of loaded components are small.
  std::exception_ptr Failure;
  while (TComponent* Due = NextLoaded()) {
    Due->FAfterLoadingDue = false;
    try {
      Due->AfterLoading();
    } catch (...) {
      KeepFirst(Failure);
    }
  }
  if (Failure)
    std::rethrow_exception(Failure);
}

void TComponent::Unlink(std::vector<TComponent*>& List, TComponent* Component) noexcept {
  auto It = std::find(List.rbegin(), List.rend(), Component);
  if (It != List.rend())
    List.erase(std::next(It).base());
}

void TComponent::FreeNotification(TComponent* Component) {
  if (!Component || Component == this)
    return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), Component) != FFreeNotifies.end())
    return;
  FFreeNotifies.push_back(Component);
  try {
    Component->FFreeNotifies.push_back(this);
  } catch (...) {
    FFreeNotifies.pop_back();
    throw;
  }
}

void TComponent::RemoveFreeNotification(TComponent* Component) {
  if (!Component)
    return;
  Unlink(FFreeNotifies, Component);
  Unlink(Component->FFreeNotifies, this);
}

void TComponent::OwnerNotification(TComponent* Component, TOperation Operation) {
  if (Operation == opRemove && Component)
    RemoveFreeNotification(Component);
  // A handler may free components of this list: walk down from the end and re-check the bound.
  for (size_t I = FComponents.size(); I > 0; --I)
    if (I <= FComponents.size())
      FComponents[I - 1]->OwnerNotification(Component, Operation);
}

void TComponent::InsertComponent(TComponent* Component) {
  FComponents.push_back(Component);
  Component->FOwner = this;
  Component->SetStateDown(FComponentState & (csLoading | csDesigning), true);
  OwnerNotification(Component, opInsert);
}

void TComponent::Notify(TComponent* Component, TOperation Operation,
                        std::exception_ptr& Failure) noexcept {
  try {
    OwnerNotification(Component, Operation);
  } catch (...) {
    KeepFirst(Failure);
  }
}

void TComponent::LeaveOwner(std::exception_ptr& Failure) noexcept {
  TComponent* Owner = FOwner;
  if (!Owner)
    return;
  Owner->Notify(this, opRemove, Failure);
  Unlink(Owner->FComponents, this);
  FOwner = nullptr;
}

void TComponent::Free() {
  if (FComponentState & csDestroying)
    return;
  FComponentState |= csDestroying;
  std::exception_ptr Failure;
  try {
    BeforeDestruction();
  } catch (...) {
    KeepFirst(Failure);
  }
  // Each Free takes the child out of the list, whatever else fails.
  while (!FComponents.empty()) {
    TComponent* Child = FComponents.back();
    try {
      Child->Free();
    } catch (...) {
      KeepFirst(Failure);
    }
  }
  while (!FFreeNotifies.empty()) {
    TComponent* Watcher = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    Unlink(Watcher->FFreeNotifies, this);
    Watcher->Notify(this, opRemove, Failure);
  }
  LeaveOwner(Failure);
  delete this;
  if (Failure)
    std::rethrow_exception(Failure);
}

// ---------------------------------------------------------------------------------------------

void TCollectionItem::Changed() {
  if (FCollection)
    FCollection->Changed(this);
}

TCollection::~TCollection() = default;

TCollectionItem& TCollection::Items(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(Format(SysConst::SListIndexError, Index));
  return *FItems[static_cast<size_t>(Index)];
}

void TCollection::Renumber(size_t From) noexcept {
  for (size_t I = From; I < FItems.size(); ++I)
    FItems[I]->FIndex = static_cast<int32_t>(I);
}

TCollectionItem& TCollection::AddItem() {
  std::unique_ptr<TCollectionItem> Item = NewItem();
  Item->FCollection = this;
  Item->FIndex = Count();
  FItems.push_back(std::move(Item));
  TCollectionItem& Added = *FItems.back();
  Changed(nullptr);
  return Added;
}

void TCollection::Delete(int32_t Index) {
  (void)Items(Index);
  FItems.erase(FItems.begin() + Index);
  Renumber(static_cast<size_t>(Index));
  Changed(nullptr);
}

void TCollection::Clear() {
  if (FItems.empty())
    return;
  FItems.clear();
  Changed(nullptr);
}

void TCollection::Changed(TCollectionItem* Item) {
  if (FUpdateCount > 0) {
    FChangedInUpdate = true;
    return;
  }
  ItemsChanged(Item);
}

void TCollection::EndUpdate() {
  if (FUpdateCount <= 0)
    return;
  if (--FUpdateCount == 0 && FChangedInUpdate) {
    FChangedInUpdate = false;
    ItemsChanged(nullptr);
  }
}

void TCollection::EndUpdateQuietly() noexcept {
  try {
    EndUpdate();
  } catch (...) {
    ApplicationHandleException(std::current_exception());
  }
}

void TCollection::Assign(const TPersistent& Source) {
  const auto* From = dynamic_cast<const TCollection*>(&Source);
  if (!From) {
    TPersistent::Assign(Source);
    return;
  }
  if (From == this)
    return;
  BeginUpdate();
  try {
    Clear();
    for (const auto& Item : From->FItems)
      AddItem().Assign(*Item);
  } catch (...) {
    EndUpdateQuietly();
    throw;
  }
  EndUpdate();
}

} // namespace tolvan
