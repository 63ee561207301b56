// TolvanExpression.h: TTolvanExpression, the engine's one evaluator of conditions and values.
//
// Filters, constraints, foreign-key searches, Locate, WHERE, select items and HAVING all hold
// their condition or value as an expression. Whoever holds one owns it through
// std::unique_ptr<TTolvanExpression>: a cursor its filters, a row source its filter slot.
//
// Threads: an expression is evaluated by one thread at a time.
#pragma once

namespace tolvan {

class TTolvanExpression {
public:
  TTolvanExpression() = default;
  virtual ~TTolvanExpression() = default;
  TTolvanExpression(const TTolvanExpression&) = delete;
  TTolvanExpression& operator=(const TTolvanExpression&) = delete;
};

} // namespace tolvan
