// TolvanDefs.cpp: placeholder bodies until the definitions are built.
#include "components/TolvanDefs.h"

#include "classlib/DBDefs.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {
[[noreturn]] void NotYet() { throw ETolvanException::Create(11394, SOperationNotSupported); }
} // namespace

void TTolvanAdvFieldDef::Assign(const TTolvanAdvFieldDef&) { NotYet(); }
TTolvanAdvFieldDef& TTolvanAdvFieldDefs::Add(std::string_view, TTolvanFieldType, int32_t, bool) {
  NotYet();
}
TTolvanAdvFieldDef& TTolvanAdvFieldDefs::AddDef() { NotYet(); }
TTolvanAdvFieldDef& TTolvanAdvFieldDefs::Items(int32_t) const { NotYet(); }
TTolvanAdvFieldDef* TTolvanAdvFieldDefs::Find(std::string_view) const { NotYet(); }
int32_t TTolvanAdvFieldDefs::IndexOf(std::string_view) const { NotYet(); }
void TTolvanAdvFieldDefs::Delete(std::string_view) { NotYet(); }
void TTolvanAdvFieldDefs::Assign(const TTolvanAdvFieldDefs&) { NotYet(); }
bool TTolvanAdvFieldDefs::HasVarcharFields() const noexcept { return false; }
void TTolvanForeignKeyDef::Assign(const TPersistent&) { NotYet(); }
TTolvanForeignKeyDef& TTolvanForeignKeyDefs::Add() { NotYet(); }
TTolvanForeignKeyDef* TTolvanForeignKeyDefs::Items(int32_t) const noexcept { return nullptr; }
int32_t TTolvanForeignKeyDefs::IndexOf(std::string_view) const { NotYet(); }
TTolvanForeignKeyDef* TTolvanForeignKeyDefs::Find(std::string_view) const { NotYet(); }
void TTolvanForeignKeyDefs::Assign(const TPersistent&) { NotYet(); }

void FieldDefsToEngineFieldDefs(const TFieldDefs&, TTolvanFieldDefs&) { NotYet(); }
void FieldDefsToAdvFieldDefs(const TFieldDefs&, TTolvanAdvFieldDefs&) { NotYet(); }
void AdvFieldDefsToFieldDefs(const TTolvanAdvFieldDefs&, TFieldDefs&) { NotYet(); }
void AdvFieldDefsToEngineDefs(const TTolvanAdvFieldDefs&, TTolvanFieldDefs&,
                              const TTolvanIndexDefs&, bool, TTolvanConstraintDefs&) {
  NotYet();
}
void EngineFieldDefsToFieldDefs(const TTolvanFieldDefs&, const TTolvanConstraintDefs&,
                                TFieldDefs&) {
  NotYet();
}
void EngineFieldDefsToAdvFieldDefs(const TTolvanFieldDefs&, const TTolvanFieldDefs&,
                                   const TTolvanConstraintDefs&, TTolvanAdvFieldDefs&) {
  NotYet();
}
void IndexDefToEngineIndexDef(TTolvanIndexDef&, std::string_view, std::string_view, TIndexOptions,
                              std::string_view, std::string_view, const TFieldDefs*,
                              const TTolvanAdvFieldDefs*) {
  NotYet();
}
void IndexDefsToEngineIndexDefs(const TIndexDefs&, TTolvanIndexDefs&, const TFieldDefs*,
                                const TTolvanAdvFieldDefs*) {
  NotYet();
}
void EngineIndexDefsToIndexDefs(const TTolvanIndexDefs&, TIndexDefs&) { NotYet(); }
void IndexDefToConstraint(const TTolvanIndexDef&, TTolvanConstraintDefs&) { NotYet(); }
void ForeignKeyDefToConstraint(const TTolvanForeignKeyDef&, TTolvanConstraintDefForeignKey&) {
  NotYet();
}
void ForeignKeyDefsToConstraints(const TTolvanForeignKeyDefs&, TTolvanConstraintDefs&) { NotYet(); }
void ConstraintsToForeignKeyDefs(const TTolvanConstraintDefs&, TTolvanForeignKeyDefs&) { NotYet(); }
void RenameForeignKeyReferences(std::string_view, std::string_view, TTolvanForeignKeyDefs&) {
  NotYet();
}
void SplitFieldList(std::string_view, TStringList&) { NotYet(); }
bool FieldDefExists(const TFieldDefs&, std::string_view) { NotYet(); }
TTolvanCompressionAlgorithm MapCompressionAlgorithm(uint8_t) noexcept { return caNone; }

} // namespace tolvan
