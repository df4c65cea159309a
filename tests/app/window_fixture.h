// The main window on the offscreen platform with its real worker thread and no sound device,
// its modal boxes replaced by recorders: the fixture of the window's tests.
#pragma once

#include <gtest/gtest.h>

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
    std::string WriteRom(const std::string& name, const gbasm::Asm* program = nullptr) {
        std::vector<u8> rom = test::MakeRom();
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

    std::unique_ptr<TMainWnd> window;
    std::vector<std::string> errors;
};

}  // namespace kivo
