// A scripted view of the list windows: a table in a temporary directory, a list running on a
// window thread of its own, and helpers that forward input as a view would and wait until
// the list (or its form) has handled it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/browse.h"
#include "app/tables.h"
#include "platform/clock.h"
#include "platform/keyed_file.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace verdan::app::testing {

using verdan::testing::WaitFor;

class ListFixture : public ::testing::Test {
 protected:
  void SetUp() override { program.StartDirectory = dir.path(); }
  ~ListFixture() override {
    threads.Shut();
    threads.JoinAll();
  }

  // Adds definitions with these paths (ID numbered from 1 unless given), through a connection
  // of its own as another program would.
  void AddDefinitions(const std::vector<std::string>& paths, std::vector<std::uint16_t> ids = {}) {
    platform::KeyedFile file(TableLayoutOf(program.arhive));
    int code = file.Open();
    if (code == platform::kFileNotFound) {
      ASSERT_EQ(file.Create(), 0);
      code = file.Open();
    }
    ASSERT_EQ(code, 0);
    ASSERT_EQ(file.Begin(5), 0);  // one write for them all
    for (std::size_t i = 0; i < paths.size(); ++i) {
      std::int64_t id = i < ids.size() ? ids[i] : static_cast<std::int64_t>(i + 1);
      ASSERT_EQ(file.Add({id, "", "", paths[i], std::int64_t{0}, "", ""}), 0) << paths[i];
    }
    ASSERT_EQ(file.Commit(), 0);
  }

  std::shared_ptr<BrowseWindow> Start(BrowseDefinition definition, BrowseRunner runner = {},
                                      int request = 0) {
    auto window = std::make_shared<BrowseWindow>(program, std::move(definition), std::move(runner));
    program.CallRequest = request;
    threads.Start([window](platform::EventQueue& q) { window->Run(q); });
    EXPECT_TRUE(WaitFor([&] { return window->Snapshot().open || window->Snapshot().closed; }));
    return window;
  }

  // Forwards one input and waits until the list has handled it.
  template <class Input>
  void Do(const std::shared_ptr<BrowseWindow>& window, Input input) {
    std::uint64_t before = window->Snapshot().handled;
    ASSERT_TRUE(input());
    ASSERT_TRUE(WaitFor([&] { return window->Snapshot().handled > before; }));
  }

  // The form the list has open, once it shows.
  std::shared_ptr<FormWindow> OpenForm(const std::shared_ptr<BrowseWindow>& window) {
    std::shared_ptr<FormWindow> form;
    EXPECT_TRUE(WaitFor([&] {
      BrowseState s = window->Snapshot();
      form = s.form;
      handledAtForm_ = s.handled;  // the input that called the form is still being handled
      return form && form->Snapshot().open;
    }));
    return form;
  }

  // Waits until the list's form has returned and the list has read its page again.
  void FormClosed(const std::shared_ptr<BrowseWindow>& window) {
    ASSERT_TRUE(WaitFor([&] {
      BrowseState s = window->Snapshot();
      return !s.form && s.handled > handledAtForm_;
    }));
  }

  static std::string Cell(const BrowseState& s, int row, int column = 0) {
    return s.rows.at(static_cast<std::size_t>(row)).at(static_cast<std::size_t>(column));
  }
  static std::string Highlighted(const BrowseState& s, int column = 0) {
    return s.highlighted < 0 ? std::string() : Cell(s, s.highlighted, column);
  }

  verdan::testing::TempDir dir;
  verdan::testing::ScopedCwd cwd{dir.path()};
  platform::SettableClock clock{platform::DayCountFromDate({2006, 3, 9})};  // a Thursday
  platform::ScopedClock useClock{clock};
  verdan::testing::ScriptedUi ui;
  Program program{ui};
  platform::WindowThreads threads;
  std::uint64_t handledAtForm_ = 0;
};

}  // namespace verdan::app::testing
