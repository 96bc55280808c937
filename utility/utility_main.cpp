// K5320W_Utility: sets up a K5320 module in a slot, sends test frames and shows the bus state.
// One modal dialog; the program ends when it closes.
#include <QApplication>

#include "utility/main/module_api.h"
#include "utility/qt/utility_window.h"
#include "utility/update/update_parts.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("K5320W_Utility"));
    k5320::utility::CApiModule library;
    k5320::utility::CApiLoader loader;
    k5320::utility::UtilityWindow window(library);
    k5320::utility::UpdateDialogParts update;
    update.loader = &loader;
    window.setFirmwareUpdate(update);
    window.exec();
    return 0;
}
