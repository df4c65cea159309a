// The main window on the offscreen platform with its real worker thread and no sound device,
// its modal boxes replaced by recorders: the fixture of the window's tests.
#pragma once

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QList>
#include <QTest>
#include <QUrl>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "asm/gbasm.h"
#include "support/rom_builder.h"
#include "support/temp_dir.h"

namespace kivo {

class MainWindowTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        Start(Path("kivo.INI"));
    }
    void TearDown() override {
        window.reset();
        TempDirTest::TearDown();
    }
    void Start(const std::string& ini_path) {
        window = std::make_unique<TMainWnd>(TMainWnd::Setup{ini_path, /*sound=*/false});
        window->error_box = [this](const QString& text) { errors.push_back(text.toStdString()); };
        window->about_box = [] {};
        // The offscreen platform never makes the application active.
        window->worker().SetAppActive(true);
    }
    // A cartridge whose program loops forever (or runs `program` from 0x0100).
    std::string WriteRom(const std::string& name, const gbasm::Asm* program = nullptr,
                         const test::RomShape& shape = {}) {
        std::vector<u8> rom = test::MakeRom(shape);
        gbasm::Asm loop(0x0100);
        loop.label("here");
        loop.jr("here");
        PlaceInRom(rom, program ? *program : loop);
        std::ofstream(dir_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(rom.data()), static_cast<long>(rom.size()));
        return Path(name);
    }
    void Drop(const std::vector<std::string>& paths) {
        QList<QUrl> urls;
        for (const std::string& p : paths) {
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(p)));
        }
        window->DropFiles(urls);
    }
    std::string Title() const { return window->windowTitle().toStdString(); }
    std::string Status() {
        window->UpdateSS();
        return window->status_text().toStdString();
    }
    bool WaitForRunning(bool running) {
        return QTest::qWaitFor([&] { return window->worker().running.load() == running; }, 3000);
    }

    // Runs `read` with the worker held, so that the machine is read between two of its passes,
    // never while it runs.
    template <typename Read>
    auto Held(Read read) {
        window->worker().ThreadPause1();
        auto value = read();
        window->worker().ThreadContinue1();
        return value;
    }
    // The frames the game has shown.
    u32 Frames() {
        return Held([&] { return window->machine().frame_count; });
    }
    // Waits until `test` holds for the machine, looked at with the worker held every 50 ms. Looks
    // in quicker succession would keep the worker from running: a pass that finds it held ends
    // with a repaint that waits for the display's retrace, and the next look would catch it
    // again before it runs.
    template <typename Test>
    bool WaitForMachine(Test test, int timeout_ms = 20000) {
        QElapsedTimer timer;
        timer.start();
        while (!Held(test)) {
            if (timer.elapsed() > timeout_ms) return false;
            QTest::qWait(50);
        }
        return true;
    }
    // Waits until the game has shown more frames than it had.
    bool WaitForFrames(u32 more) {
        const u32 target = Frames() + more;
        return WaitForMachine([&] { return window->machine().frame_count >= target; });
    }

    std::unique_ptr<TMainWnd> window;
    std::vector<std::string> errors;
};

}  // namespace kivo
