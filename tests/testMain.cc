// main() of the test programs: APR is set up once for the whole program.
#include <apr_general.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  apr_initialize();
  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  apr_terminate();
  return rc;
}
