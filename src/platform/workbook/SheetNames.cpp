// Excel's rules for sheet names, and how a workbook finds its sheets by name.

#include "platform/workbook/ModelState.h"

namespace xl {

namespace {

const QString ForbiddenNameCharacters = QStringLiteral(":\\/?*[]");

/** A sheet name folded code point by code point: Excel compares names without regard to letter case. */
QString foldedName(const QString& name)
{
    QString folded;
    folded.reserve(name.size());
    for (const char32_t c : name.toUcs4()) {
        const char32_t f = QChar::toCaseFolded(c);
        folded += QString::fromUcs4(&f, 1);
    }
    return folded;
}

} // namespace

QString defaultSheetName(int n)
{
    return QStringLiteral("Sheet%1").arg(n);
}

QString SheetNameProblem(const QString& name)
{
    const QString quoted = QStringLiteral("\"%1\"").arg(name);
    if (name.isEmpty())
        return QStringLiteral("You typed an invalid name for a sheet: the name cannot be blank.");
    if (name.size() > MaxSheetNameChars)
        return QStringLiteral("You typed an invalid name for a sheet: %1 has %2 characters, and a sheet name cannot "
                              "exceed 31 characters.")
            .arg(quoted)
            .arg(name.size());
    for (const QChar c : name) {
        if (ForbiddenNameCharacters.contains(c))
            return QStringLiteral("You typed an invalid name for a sheet: %1 contains \"%2\". A sheet name cannot "
                                  "contain any of the following characters: : \\ / ? * [ or ]")
                .arg(quoted, c);
    }
    if (name.startsWith(QLatin1Char('\'')) || name.endsWith(QLatin1Char('\'')))
        return QStringLiteral("You typed an invalid name for a sheet: %1. A sheet name cannot begin or end with an "
                              "apostrophe.")
            .arg(quoted);
    if (name.compare(QLatin1String("History"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("You typed an invalid name for a sheet: \"History\" is a name reserved by Excel.");
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        const bool pair = c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate();
        if (pair) {
            ++i;
            continue;
        }
        if (c.unicode() < 0x20 || c.unicode() == 0xFFFE || c.unicode() == 0xFFFF || c.isSurrogate())
            return QStringLiteral("You typed an invalid name for a sheet: %1 contains the character U+%2, which a "
                                  "sheet name cannot hold.")
                .arg(quoted)
                .arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return {};
}

bool Workbook::Impl::nameTaken(const QString& name, const Worksheet* except) const
{
    const auto found = byName.constFind(foldedName(name));
    return found != byName.constEnd() && found.value() != except;
}

void Workbook::Impl::named(const Worksheet* sheet, const QString& name)
{
    byName.insert(foldedName(name), sheet);
    ++lowerNames[name.toLower()];
}

void Workbook::Impl::unnamed(const Worksheet* sheet, const QString& name)
{
    const QString key = foldedName(name);
    if (byName.value(key) == sheet)
        byName.remove(key);
    const auto lower = lowerNames.find(name.toLower());
    if (lower != lowerNames.end() && --lower.value() == 0)
        lowerNames.erase(lower);
}

QString Workbook::Impl::freeDefaultName() const
{
    for (int n = 1;; ++n)
        if (!nameTaken(defaultSheetName(n), nullptr))
            return defaultSheetName(n);
}

} // namespace xl
