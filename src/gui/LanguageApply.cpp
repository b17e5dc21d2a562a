#include "LanguageApply.h"

#include "DisplayText.h"
#include "i18n/LangPack.h"
#include "util/Text.h"

#include <QAction>
#include <QComboBox>
#include <QListWidget>
#include <QMenu>
#include <QMetaProperty>
#include <QStringList>
#include <QWidget>
#include <vector>

namespace kvgui {

namespace {

// A list value divided as the program divides it: one split at the first "||".
QStringList ListEntries(const std::string& value) {
    std::vector<std::string> parts;
    kv::SplitOnce(value, "||", parts);
    QStringList list;
    for (const auto& p : parts)
        list << DisplayText(p);
    return list;
}

// Position and size: the pack's names, which Qt exposes only through geometry.
bool SetGeometryPart(QWidget* w, const std::string& property, const std::string& value) {
    const bool left = kv::EqualsNoCase(property, "Left");
    const bool top = kv::EqualsNoCase(property, "Top");
    const bool width = kv::EqualsNoCase(property, "Width");
    const bool height = kv::EqualsNoCase(property, "Height");
    if (!left && !top && !width && !height)
        return false;
    const int n = kv::StrToInt(kv::Trim(value));
    if (left)
        w->move(n, w->y());
    else if (top)
        w->move(w->x(), n);
    else {
        QSize s = w->size();
        (width ? s.rwidth() : s.rheight()) = n;
        // A window of fixed size stays fixed, at the new size.
        if (w->minimumSize() == w->maximumSize())
            w->setFixedSize(s);
        else
            w->resize(s);
    }
    return true;
}

// The Qt property a pack name stands for: Caption is the text, else the
// title (a menu), else the window title; Hint is the tool tip.
QMetaProperty FindProperty(const QObject* o, const std::string& property) {
    const QMetaObject* mo = o->metaObject();
    auto find = [mo](const char* name) {
        for (int i = 0; i < mo->propertyCount(); ++i) {
            QMetaProperty p = mo->property(i);
            if (p.isWritable() && kv::EqualsNoCase(p.name(), name))
                return p;
        }
        return QMetaProperty();
    };
    if (kv::EqualsNoCase(property, "Caption")) {
        for (const char* name : {"text", "title", "windowTitle"})
            if (QMetaProperty p = find(name); p.isValid())
                return p;
        return {};
    }
    if (kv::EqualsNoCase(property, "Hint"))
        return find("toolTip");
    return find(property.c_str());
}

bool SetItems(QObject* o, const std::string& value) {
    if (auto* combo = qobject_cast<QComboBox*>(o)) {
        combo->clear();
        combo->addItems(ListEntries(value));
        return true;
    }
    if (auto* list = qobject_cast<QListWidget*>(o)) {
        list->clear();
        list->addItems(ListEntries(value));
        return true;
    }
    return false;
}

// The owned object of that name, letter case ignored (menus and their
// actions included).
QObject* FindComponent(QWidget* window, const std::string& name) {
    for (QObject* o : window->findChildren<QObject*>())
        if (kv::EqualsNoCase(o->objectName().toStdString(), name))
            return o;
    return nullptr;
}

} // namespace

void SetComponentProperty(QObject* component, const std::string& property,
                          const std::string& value) {
    if (!component)
        return;
    if (auto* w = qobject_cast<QWidget*>(component); w && SetGeometryPart(w, property, value))
        return;
    if (kv::EqualsNoCase(property, "Items") && SetItems(component, value))
        return;
    QMetaProperty p = FindProperty(component, property);
    if (!p.isValid())
        return;
    switch (p.metaType().id()) {
    case QMetaType::Int:
        p.write(component, kv::StrToInt(kv::Trim(value)));
        break;
    case QMetaType::QString:
        p.write(component, DisplayText(value));
        break;
    case QMetaType::QStringList:
        p.write(component, ListEntries(value));
        break;
    default: // truth values, enumerations, fractions, objects: not set by packs
        break;
    }
}

bool ApplyLanguage(QWidget* window, const std::string& packPath) {
    const std::string section = window->objectName().toStdString();
    for (const auto& [key, value] : kv::ReadPackSection(packPath, section)) {
        std::string component, property;
        kv::SplitPackKey(key, component, property);
        QObject* target = component.empty() ? window : FindComponent(window, component);
        if (target)
            SetComponentProperty(target, property, value);
    }
    return true;
}

} // namespace kvgui
