// The firmware update dialog on the offscreen platform, opened with the main window's Update
// Firmware button against the emulated backplane: a generated 100 KB file goes into the module
// of slot 1, and the dialog opened again shows its record. Leaves screenshots of the dialog in
// the build folder.
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "backplane/inspect.h"
#include "driver/frame/slot_ownership.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "platform/named_event.h"
#include "utility/main/module_api.h"
#include "utility/qt/update_window.h"
#include "utility/qt/utility_window.h"

namespace k5320::utility {
namespace {

constexpr std::size_t kImageSize = 100 * 1024;
// The module's firmware as it leaves the factory.
const QString kFactoryFirmware = QStringLiteral("Firmware: K5320FW.EXE");

class RecordingBoxes final : public MessageBoxes {
  public:
    std::vector<std::pair<std::string, std::string>> shown;
    void show(std::string_view caption, std::string_view text) override {
        shown.emplace_back(caption, text);
    }
};

// Writes a file of varied bytes, last modified at the given local time.
void writeFirmwareFile(const std::string& path, std::size_t size, std::tm local) {
    std::vector<char> bytes(size);
    uint32_t state = 0x1234'5678;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
    local.tm_isdst = -1;
    const timeval times[2] = {{std::mktime(&local), 0}, {std::mktime(&local), 0}};
    utimes(path.c_str(), times);
}

// Clicks Update Firmware and runs inModal inside the update dialog's modal loop. Returns false
// when no update dialog came up.
bool withUpdateDialog(const UtilityWindow& window,
                      const std::function<void(UpdateWindow&)>& inModal) {
    bool opened = false;
    QTimer lookout;
    lookout.setInterval(10);
    QObject::connect(&lookout, &QTimer::timeout, [&] {
        auto* update = dynamic_cast<UpdateWindow*>(QApplication::activeModalWidget());
        if (update == nullptr || !update->isVisible()) return;
        lookout.stop();
        opened = true;
        inModal(*update);
    });
    lookout.start();
    QTest::mouseClick(window.control(ControlId::kUpdateFirmware), Qt::LeftButton);
    return opened;
}

std::vector<QString> panes(const UpdateWindow& update) {
    return {update.paneText(0), update.paneText(1), update.paneText(2)};
}

// Every pane is as wide as its text needs and lies inside the dialog; empty when so, else the
// pane that is not.
QString paneCutShort(const UpdateWindow& update) {
    for (int pane = 0; pane < 3; ++pane) {
        const QLabel* label = update.paneLabel(pane);
        const int right = label->mapTo(&update, label->rect().topRight()).x();
        if (label->width() < label->sizeHint().width() || right >= update.width())
            return QStringLiteral("%1: %2 of %3 px, ends at %4 of %5")
                .arg(label->text())
                .arg(label->width())
                .arg(label->sizeHint().width())
                .arg(right)
                .arg(update.width());
    }
    return {};
}

}  // namespace

class UpdateWindowTest : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void aDownloadedFileIsTheModulesFirmwareWhenTheDialogOpensAgain() {
        const std::string dir = std::getenv("TARN_BACKPLANE_STATE");
        const std::string path = dir + "/fw100k.exe";
        std::tm modified{};
        modified.tm_year = 2014 - 1900;
        modified.tm_mon = 3 - 1;
        modified.tm_mday = 5;
        modified.tm_hour = 9;
        modified.tm_min = 7;
        modified.tm_sec = 5;
        writeFirmwareFile(path, kImageSize, modified);

        CApiModule library;
        CApiLoader loader;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        int fileDialogs = 0;
        UpdateDialogParts parts;
        parts.loader = &loader;
        parts.boxes = &boxes;
        parts.choose_file = [&](std::string_view) {
            ++fileDialogs;
            return path;
        };
        window.setFirmwareUpdate(parts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        std::vector<QString> before;
        std::set<int> positions;
        int progressMaximum = -1;
        QImage duringDownload;
        const bool opened = withUpdateDialog(window, [&](UpdateWindow& update) {
            before = panes(update);
            QCOMPARE(update.windowTitle(), QStringLiteral("Update"));
            // The block loop lets the window handle its events: a timer sees the bar move.
            QTimer watcher;
            watcher.setInterval(0);
            connect(&watcher, &QTimer::timeout, [&] {
                const int value = update.progressBar()->value();
                positions.insert(value);
                progressMaximum = update.progressBar()->maximum();
                if (value == 6 && duringDownload.isNull()) duringDownload = update.grab().toImage();
            });
            watcher.start();
            QTest::mouseClick(update.updateButton(), Qt::LeftButton);
        });
        QVERIFY(opened);
        QCOMPARE(before, (std::vector<QString>{kFactoryFirmware,
                                               QStringLiteral("Modified: 2024/3/15--10:30:0"),
                                               QStringLiteral("Size: 6144 bytes")}));
        QCOMPARE(fileDialogs, 1);
        QCOMPARE(boxes.shown.size(), std::size_t{1});
        QCOMPARE(boxes.shown[0].second, std::string("Download OK!"));
        QCOMPARE(progressMaximum, 12);  // 13 blocks
        QVERIFY2(positions.size() > 2, "the progress bar was not seen moving");
        QVERIFY(!duringDownload.isNull());
        QVERIFY(duringDownload.save(QStringLiteral(K5320_UPDATE_SCREENSHOT_DOWNLOADING)));
        QCOMPARE(window.windowTitle(), QStringLiteral("K-5320W Utility Ver 1.05"));

        std::vector<QString> after;
        QString cutShort;
        QVERIFY(withUpdateDialog(window, [&](UpdateWindow& update) {
            after = panes(update);
            cutShort = paneCutShort(update);
            QVERIFY(update.grab().save(QStringLiteral(K5320_UPDATE_SCREENSHOT)));
            update.reject();
        }));
        QCOMPARE(after, (std::vector<QString>{QStringLiteral("Firmware: fw100k.exe"),
                                              QStringLiteral("Modified: 2014/3/5--9:7:5"),
                                              QStringLiteral("Size: 102400 bytes")}));
        QVERIFY2(cutShort.isEmpty(), qPrintable(cutShort));
        QCOMPARE(boxes.shown.size(), std::size_t{1});

        // Closed, the dialog has started the new firmware and released the slot: the main
        // window sets the module up as before.
        QTest::mouseClick(window.control(ControlId::kInitialize), Qt::LeftButton);
        QVERIFY2(boxes.shown.size() == 1, boxes.shown.back().second.c_str());
        QVERIFY(window.control(ControlId::kSend)->isEnabled());
    }

    void aBoxAtTheDialogsStartIsCentredOverTheMainWindow() {
        // Slot 3 is empty: the dialog's start fails before the dialog is on the screen.
        CApiModule library;
        CApiLoader loader;
        UtilityWindow window(library);
        UpdateDialogParts parts;
        parts.loader = &loader;
        window.setFirmwareUpdate(parts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.move(300, 250);  // away from the screen's centre, where a lost box would go too
        auto* slotList = qobject_cast<QComboBox*>(window.control(ControlId::kSlot));
        slotList->setCurrentIndex(2);

        QString text;
        QPoint boxCentre;
        QTimer lookout;
        lookout.setInterval(10);
        connect(&lookout, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) return;
            lookout.stop();
            text = box->text();
            boxCentre = box->geometry().center();
            box->accept();
        });
        lookout.start();
        QTest::mouseClick(window.control(ControlId::kUpdateFirmware), Qt::LeftButton);
        QCOMPARE(text, QStringLiteral("Module Initialization Error, Error Code=3"));
        const QPoint offCentre = boxCentre - window.geometry().center();
        QVERIFY2(offCentre.manhattanLength() <= 2,
                 qPrintable(QStringLiteral("%1,%2").arg(offCentre.x()).arg(offCentre.y())));
    }

    void closingAfterAFailedStepKeepsTheLoaderButGivesTheSlotUp() {
        // Slot 2's flash refuses writes, so the old firmware cannot be deleted.
        emulator::Module* module = backplane::in_process_host().module(2);
        QVERIFY(module != nullptr);
        emulator::ModuleProbe(*module).fail_flash_writes(true);
        const std::string path = std::string(std::getenv("TARN_BACKPLANE_STATE")) + "/fw1k.exe";
        std::tm modified{};
        modified.tm_year = 2020 - 1900;
        modified.tm_mday = 1;
        writeFirmwareFile(path, 1024, modified);

        CApiModule library;
        CApiLoader loader;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        UpdateDialogParts parts;
        parts.loader = &loader;
        parts.boxes = &boxes;
        parts.choose_file = [&](std::string_view) { return path; };
        window.setFirmwareUpdate(parts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* slotList = qobject_cast<QComboBox*>(window.control(ControlId::kSlot));
        QTest::keyClick(slotList, Qt::Key_Down);
        QCOMPARE(slotList->currentText(), QStringLiteral(" Slot 2"));

        QVERIFY(withUpdateDialog(window, [&](UpdateWindow& update) {
            QTest::mouseClick(update.updateButton(), Qt::LeftButton);
            update.reject();
        }));
        emulator::ModuleProbe(*module).fail_flash_writes(false);
        QCOMPARE(boxes.shown.size(), std::size_t{1});
        QCOMPARE(boxes.shown[0].second, std::string("Delete old firmware error!"));
        // Nothing told the module to leave its loader, and the slot is free again: this process
        // (or any other) can initialise it at once instead of finding it taken (44).
        QCOMPARE(emulator::ModuleProbe(*module).mode(), answer::kLoaderMode);
        QCOMPARE(K5320_Init(2), K5320_SUCCESS);
        QCOMPARE(K5320_RestoreK5320(2), K5320_SUCCESS);
    }
};

}  // namespace k5320::utility

int main(int argc, char** argv) {
    // The default backplane, and a slot table, event namespace and flash of this process alone,
    // so tests running side by side never meet and no run inherits another's firmware.
    unsetenv("TARN_BACKPLANE_CONFIG");
    const std::string ownTable = "update-test-" + std::to_string(getpid());
    k5320::driver::ownership::use_table_for_test(ownTable);
    k5320::platform::NamedEvent::use_namespace_for_test(ownTable);
    std::string stateDir =
        (std::filesystem::temp_directory_path() / "k5320-update-state-XXXXXX").string();
    if (mkdtemp(stateDir.data()) == nullptr) return 1;
    setenv("TARN_BACKPLANE_STATE", stateDir.c_str(), 1);

    int failures = 0;
    {
        QApplication application(argc, argv);
        k5320::utility::UpdateWindowTest test;
        failures = QTest::qExec(&test, argc, argv);
    }
    k5320::driver::ownership::remove_test_table();
    std::error_code ignored;
    std::filesystem::remove_all(stateDir, ignored);
    return failures;
}

#include "update_window_test.moc"
