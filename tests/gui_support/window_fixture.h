#pragma once
// A window without an instrument, in a fresh working directory, with its error boxes recorded.
#include <gtest/gtest.h>

#include <memory>

#include "app/tform1.h"
#include "gui_support/gui_test.h"
#include "link/socket_channel.h"

namespace qvx::test {

class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override { GuiApp(); }

  std::unique_ptr<TForm1> Open() { return std::make_unique<TForm1>(nullptr, &channel_); }

  SocketChannel channel_;  // never connected
  TempWorkDir dir_;
  ErrorBoxRecorder boxes_;
};

}  // namespace qvx::test
