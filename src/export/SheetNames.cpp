#include "export/SheetNames.h"

#include "platform/workbook/Workbook.h"
#include "shell/ErrorTrap.h"

namespace SheetNames {

namespace {

/** Cuts to at most `size` UTF-16 units without leaving half of a surrogate pair. */
QString cutTo(const QString& text, qsizetype size)
{
    if (text.size() <= size)
        return text;
    if (size > 0 && text.at(size - 1).isHighSurrogate())
        --size;
    return text.left(size);
}

bool heldInName(QChar c)
{
    const char16_t u = c.unicode();
    return u >= 0x20 && u != 0xFFFE && u != 0xFFFF && u != ':' && u != '\\' && u != '/' && u != '?' && u != '*';
}

/** A name the workbook accepts when no other sheet has it (brackets gone, the rest replaced by "_"). */
QString validName(const QString& name)
{
    QString out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c == QLatin1Char('[') || c == QLatin1Char(']'))
            continue;
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            out += c;
            out += name.at(++i);
            continue;
        }
        out += heldInName(c) && !c.isSurrogate() ? c : QLatin1Char('_');
    }
    out = cutTo(out, xl::MaxSheetNameChars);
    if (out.startsWith(QLatin1Char('\'')))
        out[0] = QLatin1Char('_');
    if (out.endsWith(QLatin1Char('\'')))
        out[out.size() - 1] = QLatin1Char('_');
    return out.isEmpty() ? QStringLiteral("_") : out;
}

bool nameIsFree(const QString& name, const xl::Workbook& workbook, const xl::Worksheet* except)
{
    return !workbook.hasSheetNamed(name, except);
}

} // namespace

QString CleanSheetName(const QString& name)
{
    QString cleaned = name;
    cleaned.remove(QLatin1Char('['));
    cleaned.remove(QLatin1Char(']'));
    return cleaned.left(30);
}

bool SheetExists(const QString& name, xl::Workbook& workbook)
{
    // The count is a 16-bit number: from 32,768 sheets on it is negative and no sheet is looked at.
    const short count = short(workbook.count());
    return count > 0 && workbook.hasSheetNamedLower(name.toLower());
}

QString ValidUniqueName(const QString& currentName, const QString& baseName, const xl::Workbook& workbook)
{
    // The sheet being named counts as taken under its present name, as in SheetExists.
    const QString whole = validName(currentName);
    if (xl::SheetNameProblem(whole).isEmpty() && nameIsFree(whole, workbook, nullptr))
        return whole;
    const QString stem = validName(baseName);
    for (long counter = 1;; ++counter) {
        const QString number = QString::number(counter);
        const QString candidate = cutTo(stem, xl::MaxSheetNameChars - number.size()) + number;
        if (xl::SheetNameProblem(candidate).isEmpty() && nameIsFree(candidate, workbook, nullptr))
            return candidate;
    }
}

void ApplyName(QString& currentName, const QString& baseName, xl::Workbook& workbook, xl::Worksheet& sheet)
{
    const QString cleaned = CleanSheetName(currentName);
    if (xl::SheetNameProblem(cleaned).isEmpty() && nameIsFree(cleaned, workbook, &sheet)) {
        sheet.setName(cleaned);
        return;
    }
    const QString name = ValidUniqueName(currentName, baseName, workbook);
    sheet.setName(name);
    currentName = name;
}

void NameWorksheet(ErrorTrap& trap, QString& currentName, xl::Workbook& workbook, xl::Worksheet& sheet)
{
    if (trap.test(154, [&] { return currentName.size() > 31; }))
        trap.step(156, [&] { currentName = currentName.left(30); });
    QString baseName;
    trap.step(158, [&] { baseName = currentName.left(30); });
    qint32 counter = 1; // step 160, which cannot fail
    while (trap.loopTest(162, [&] { return SheetExists(currentName, workbook); })) {
        trap.step(164, [&] { currentName = baseName + QString::number(counter); });
        ++counter; // step 166, likewise
    }
    trap.step(168, [&] { ApplyName(currentName, baseName, workbook, sheet); });
}

} // namespace SheetNames
