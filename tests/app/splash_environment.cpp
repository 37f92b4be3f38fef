#include "tests/app/splash_environment.h"

#include <gtest/gtest.h>

#include "tests/app/splash_support.h"

namespace vx_test {
namespace {

class SplashEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    session_ = std::make_unique<GdiplusSession>();
    ASSERT_TRUE(session_->ok());
    resources = resources_from_module();
  }
  void TearDown() override {
    resources.reset();  // GDI+ objects go before GDI+ does
    session_.reset();
  }
  static std::unique_ptr<vx::DrawingResources> resources;

 private:
  std::unique_ptr<GdiplusSession> session_;
};
std::unique_ptr<vx::DrawingResources> SplashEnvironment::resources;

const auto* const environment = ::testing::AddGlobalTestEnvironment(new SplashEnvironment);

}  // namespace

const vx::DrawingResources& shared_resources() { return *SplashEnvironment::resources; }

}  // namespace vx_test
