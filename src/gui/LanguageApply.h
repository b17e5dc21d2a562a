#pragma once
// Applies a language pack to a window: the pack's section named after the
// window sets properties of the window and of the objects it owns, addressed
// by object name and property name as the pack writes them ("Caption",
// "Hint", "Text", "Items", "Left", "Top", "Width", "Height", or a Qt property).
// Works on any widget tree, so every dialog calls it when it is shown.
#include <string>

class QObject;
class QWidget;

namespace kvgui {

// Applies the section named window->objectName() of the pack at packPath. A
// missing file or section changes nothing. An integer property whose value is
// not a decimal integer throws kv::ConversionError ("'x' is not a valid
// integer value"); the lines before it stay applied, the rest are not.
bool ApplyLanguage(QWidget* window, const std::string& packPath);

// Sets one property by its pack name (letter case ignored) from the value
// text (bytes of the pack, shown as UTF-8 or GB18030). Names the object does
// not have, and kinds other than integers, texts and string lists, are
// ignored.
void SetComponentProperty(QObject* component, const std::string& property,
                          const std::string& value);

} // namespace kvgui
