#include "platform/skin/SkinFramework.h"

#include "platform/Error.h"

#include <QFile>
#include <QWidget>

void SkinFramework::note(const QString& call)
{
    m_calls << call;
}

void SkinFramework::LoadSkin(const QString& path, const QString& iniName)
{
    note(QStringLiteral("LoadSkin(%1,%2)").arg(path, iniName));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw quorvane::Error(53, QStringLiteral("Cannot load skin %1: %2").arg(path, file.errorString()));
    m_styleSheet = QString::fromUtf8(file.readAll());
}

int SkinFramework::Options()
{
    note(QStringLiteral("Options"));
    return m_options;
}

void SkinFramework::SetOptions(int options)
{
    note(QStringLiteral("SetOptions(%1)").arg(options));
    m_options = options;
}

void SkinFramework::SetApplyColors(bool on)
{
    note(QStringLiteral("SetApplyColors(%1)").arg(on));
    m_applyColors = on;
}

void SkinFramework::SetApplyMetrics(bool on)
{
    note(QStringLiteral("SetApplyMetrics(%1)").arg(on));
    m_applyMetrics = on;
}

void SkinFramework::ApplyWindow(QWidget* window)
{
    note(QStringLiteral("ApplyWindow(%1)").arg(window ? window->objectName() : QString()));
    if (!window)
        throw quorvane::Error(91, QStringLiteral("Object variable not set"));
    if (m_applyColors)
        window->setStyleSheet(m_styleSheet);
}
