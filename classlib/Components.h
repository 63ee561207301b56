// Components.h: persistent objects, components with owners, owned-item collections, and the
// application exception handler.
//
// TPersistent is what can copy itself from another object (Assign) and name its class
// (ClassName). TComponent adds an owner, a name unique among its siblings, a state, and
// notifications: when a component joins or leaves an owner, the owner hears it through
// OwnerNotification and, through the base, so does everything the owner holds; a component
// that asked FreeNotification of another hears when that one is freed.
//
// Life cycle. Components are made by NewComponent<T>(Owner, ...), which inserts the finished
// object into its owner so that notifications and dynamic_cast see the full type, or by
// MakeComponent<T>(...) for an ownerless one held in a TComponentPtr. They end only through
// Free() (destructors are protected):
//   1. csDestroying is set; BeforeDestruction runs (it may throw: a dataset closes there);
//   2. owned components are freed, last first;
//   3. free notifications go out while the object still has its full type;
//   4. the component leaves its owner (the owner and its other components are notified);
//   5. the object is deleted, and the first failure of the steps above is rethrown.
// Each step runs even when an earlier one failed, so a failing teardown still frees everything.
// The TComponentPtr deleter cannot throw: it hands a failure to the application exception
// handler, which a program may replace (the default writes the message to stderr).
//
// No form streaming: BeginLoading / EndLoading mark a tree of components as being loaded, and
// EndLoading calls AfterLoading on each. A component inserted into a loading or designing owner
// takes that state.
//
// TCollection owns TCollectionItems of one kind, made by its NewItem; changes reach the
// collection's ItemsChanged once per change or once per BeginUpdate/EndUpdate block.
//
// Threads: a component tree, and a collection, belong to one thread at a time. The application
// exception handler may be replaced and called from any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "classlib/Strings.h"
#include "classlib/SysUtils.h"

namespace tolvan {

TOLVAN_DECLARE_EXCEPTION(EComponentError, Exception)

namespace SysConst {
inline constexpr std::string_view SAssignError = "Cannot assign a %s to a %s";
inline constexpr std::string_view SInvalidName = "'%s' is not a valid component name";
inline constexpr std::string_view SDuplicateName = "A component named %s already exists";
} // namespace SysConst

// Called with every failure that nothing else may raise (a deleter, a swallowed event).
using TApplicationExceptionHandler = std::function<void(std::exception_ptr)>;
// Installs Handler (an empty one restores the default) and returns the previous one.
TApplicationExceptionHandler SetApplicationExceptionHandler(TApplicationExceptionHandler Handler);
// Hands E to the current handler; a handler that throws is ignored.
void ApplicationHandleException(std::exception_ptr E) noexcept;

class TPersistent {
public:
  // Copies Source into this object. The base asks Source's AssignTo, which refuses with
  // EConvertError "Cannot assign a <source class> to a <own class>".
  virtual void Assign(const TPersistent& Source);
  // The class name without namespaces ("TIntegerField").
  std::string ClassName() const;

protected:
  TPersistent() = default;
  TPersistent(const TPersistent&) = default;
  TPersistent& operator=(const TPersistent&) = default;
  virtual ~TPersistent() = default;

  virtual void AssignTo(TPersistent& Dest) const;
};

enum TOperation : uint8_t { opInsert, opRemove };

using TComponentState = uint8_t;
inline constexpr TComponentState csLoading = 0x01;
inline constexpr TComponentState csDestroying = 0x02;
inline constexpr TComponentState csDesigning = 0x04;

class TComponent;

// Frees an ownerless component; a failure goes to the application exception handler.
struct TFreeDeleter {
  void operator()(TComponent* Component) const noexcept;
};
template <class T> using TComponentPtr = std::unique_ptr<T, TFreeDeleter>;

class TComponent : public TPersistent {
public:
  TComponent() = default;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const noexcept { return FOwner; }
  int32_t ComponentCount() const noexcept { return static_cast<int32_t>(FComponents.size()); }
  // A bad index raises EListError.
  TComponent* Components(int32_t Index) const;
  // The owned component of that name ignoring case, or nil.
  TComponent* FindComponent(std::string_view Name) const;

  const AnsiString& Name() const noexcept { return FName; }
  // Empty, or an identifier unique among the owner's components ignoring case; otherwise
  // EComponentError. Goes through Rename.
  void SetName(std::string_view NewName);

  TComponentState ComponentState() const noexcept { return FComponentState; }
  // Sets or clears csDesigning here and on everything owned, at any depth.
  void SetDesigning(bool Value);
  // Sets csLoading down the ownership tree.
  void BeginLoading();
  // Clears csLoading down the tree, then calls AfterLoading on each component that was loading,
  // owners before what they own; the first failure is rethrown after all have run.
  void EndLoading();
  // The owner is still being loaded: failures that cannot be shown yet are dropped.
  bool IsBeingCreated() const noexcept {
    return FOwner && (FOwner->FComponentState & csLoading) != 0;
  }

  // Component will hear OwnerNotification(this, opRemove) when this one is freed, and the other
  // way round. Repeated calls register once.
  void FreeNotification(TComponent* Component);
  void RemoveFreeNotification(TComponent* Component);

  // Ends the component (see the header comment). A second call while it runs does nothing.
  void Free();

protected:
  virtual ~TComponent();

  // Stores the checked name; overrides call the base.
  virtual void Rename(const AnsiString& NewName);
  // Component joined (opInsert) or left (opRemove) this component's tree, or a component this
  // one watches is being freed. The base passes it on to every owned component.
  virtual void OwnerNotification(TComponent* Component, TOperation Operation);
  // The first step of Free, with csDestroying set. Overrides call their base last.
  virtual void BeforeDestruction() {}
  virtual void AfterLoading() {}

private:
  template <class T, class... A> friend T* NewComponent(TComponent* Owner, A&&... Args);

  void InsertComponent(TComponent* Component);
  void LeaveOwner(std::exception_ptr& Failure) noexcept;
  void Notify(TComponent* Component, TOperation Operation, std::exception_ptr& Failure) noexcept;
  void SetStateDown(TComponentState Flag, bool Value);
  void MarkLoaded() noexcept;
  TComponent* NextLoaded() noexcept;
  static void Unlink(std::vector<TComponent*>& List, TComponent* Component) noexcept;

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
  AnsiString FName;
  TComponentState FComponentState = 0;
  bool FAfterLoadingDue = false;
};

// Makes a T from Args and inserts it into Owner (nil: the caller frees it, best through
// MakeComponent). A failure frees the new object and propagates.
template <class T, class... A> T* NewComponent(TComponent* Owner, A&&... Args) {
  TComponentPtr<T> Made(new T(std::forward<A>(Args)...));
  if (Owner)
    Owner->InsertComponent(Made.get());
  return Made.release();
}

template <class T, class... A> TComponentPtr<T> MakeComponent(A&&... Args) {
  return TComponentPtr<T>(NewComponent<T>(nullptr, std::forward<A>(Args)...));
}

class TCollection;

class TCollectionItem : public TPersistent {
public:
  TCollectionItem() = default;
  ~TCollectionItem() override = default;

  // The collection holding the item, or nil for a detached one.
  TCollection* Collection() const noexcept { return FCollection; }
  // The position in the collection, or -1.
  int32_t Index() const noexcept { return FIndex; }

  TCollectionItem(const TCollectionItem&) = delete;
  TCollectionItem& operator=(const TCollectionItem&) = delete;

protected:
  // Tells the collection that the item changed.
  void Changed();

private:
  friend class TCollection;
  TCollection* FCollection = nullptr;
  int32_t FIndex = -1;
};

class TCollection : public TPersistent {
public:
  TCollection() = default;
  TCollection(const TCollection&) = delete;
  TCollection& operator=(const TCollection&) = delete;
  ~TCollection() override;

  int32_t Count() const noexcept { return static_cast<int32_t>(FItems.size()); }
  // A bad index raises EListError.
  TCollectionItem& Items(int32_t Index) const;
  void Delete(int32_t Index);
  void Clear();

  // Changes inside an update block reach ItemsChanged once, at the outermost EndUpdate.
  void BeginUpdate() noexcept { ++FUpdateCount; }
  void EndUpdate();
  int32_t UpdateCount() const noexcept { return FUpdateCount; }

  // From another collection: the items become copies of Source's (each made by NewItem and
  // given the source item through Assign).
  void Assign(const TPersistent& Source) override;

protected:
  // Appends a new item of the collection's kind.
  TCollectionItem& AddItem();
  virtual std::unique_ptr<TCollectionItem> NewItem() const = 0;
  // Item changed, or (nil) the list changed as a whole.
  virtual void ItemsChanged(TCollectionItem* Item) { (void)Item; }
  void Changed(TCollectionItem* Item);
  // Ends an update block on a failure path: a notification that fails now is reported, not
  // raised, so the first failure is the one that propagates.
  void EndUpdateQuietly() noexcept;

private:
  friend class TCollectionItem;
  void Renumber(size_t From) noexcept;

  std::vector<std::unique_ptr<TCollectionItem>> FItems;
  int32_t FUpdateCount = 0;
  bool FChangedInUpdate = false;
};

} // namespace tolvan
