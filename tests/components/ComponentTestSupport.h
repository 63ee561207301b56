// ComponentTestSupport.h: the component registries for one test, ownerless components freed at
// the end of the scope, and fake datasets as sessions and databases see them.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "classlib/Components.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanSession.h"
#include "tests/components/TempEngineStandIn.h"

namespace tolvan::test {

// Makes sure start-up will make "TEMP".
struct TTempEngineReady {
  TTempEngineReady() { EnsureTempEngine(); }
};

// Start-up before each test, shutdown after it.
class ComponentTest : public ::testing::Test, private TTempEngineReady {
protected:
  TComponentRegistriesScope Registries;
};

template <class T> TComponentPtr<T> Own(T* Component) { return TComponentPtr<T>(Component); }

// A dataset holding one use of a database, released through its session as a dataset's
// disconnect does. A stubborn one stays listed after Disconnect.
class TFakeClient : public TTolvanDatabaseClient {
public:
  // Opens Name through Session for Owner and joins the database's dataset list; false when
  // the session answers nil.
  bool Use(TTolvanSession& Session, std::string_view Name, TComponent* Owner = nullptr);

  void Disconnect() override;
  const AnsiString& SessionName() const override { return FSessionName; }
  void SetSessionName(std::string_view Value) override { FSessionName = Value; }
  void ForgetDatabase() noexcept override;

  TTolvanDatabase* Database = nullptr;
  TTolvanSession* Session = nullptr;
  bool Stubborn = false;
  int32_t Disconnects = 0;
  int32_t Forgets = 0;

private:
  AnsiString FSessionName;
};

// Table "Name" in the database's engine session (connected): ID (auto-increment when AutoInc,
// else integer) and Name varchar(20).
void MakeTable(TTolvanDatabase& Database, std::string_view Name, bool AutoInc = false);
// Appends a row with Name := Text through a cursor of the database's engine session; an
// integer ID gets Id.
void InsertRow(TTolvanDatabase& Database, std::string_view Table, std::string_view Text,
               int32_t Id = 0);

// A dataset component on a form.
class TFakeDataSetComponent : public TComponent, public TFakeClient {};

} // namespace tolvan::test
