#pragma once

#include <QString>

namespace report {

// The values of report variables are expressions. The engine knows one kind:
// a string literal in single quotes, a quote inside it written twice
// ('it''s' is the text it's). An empty expression is the empty text.
class Expression
{
public:
    // The text an expression stands for; raises ReportError saying what is
    // wrong with it.
    static QString evaluate(const QString &expression);
    // The literal that evaluates to text, whatever quotes it holds.
    static QString quoted(const QString &text);
};

} // namespace report
