// The truth file reader against files written the way the simulator writes them: while it
// runs (a row in progress at the end) and with a row that does not fit the header.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "temp_file.h"
#include "truth_file.h"

using truth_file::TruthTable;

TEST(TruthTable, ReadsCompleteRowsByColumnAndLeavesOutTheRowInProgress) {
  const std::string header = truth_file::headerLine(2, 1);
  ASSERT_EQ(header,
            "t,base_x,base_y,base_z,base_qw,base_qx,base_qy,base_qz,motor0,motor1,virtual0,push_fx,push_fy,push_fz");
  TempFile file(header + "\n0.0000,0,0,0.13,1,0,0,0,0.5,-1,0.25,0,0,0\n0.0100,0,0,0.12,1,0,0,0,0.6,-1,0.26,0,0,0\n0.0200,0,0,0.1",
                ".csv");
  const TruthTable truth = TruthTable::read(file.path());
  EXPECT_EQ(truth.header(), header);
  ASSERT_EQ(truth.rows().size(), 2u);
  EXPECT_EQ(truth.column("base_z"), (std::vector<double>{0.13, 0.12}));
  EXPECT_EQ(truth.column(truth_file::virtualColumn(0)), (std::vector<double>{0.25, 0.26}));
  EXPECT_EQ(truth.index(truth_file::motorColumn(1)), 9u);
  EXPECT_THROW(truth.index("motor2"), std::out_of_range);
}

TEST(TruthTable, RefusesACompleteRowThatDoesNotFitTheHeader) {
  const std::string header = truth_file::headerLine(1, 0);
  for (const std::string row : {"0.0,0,0,0.1,1,0,0,0\n", "0.0,0,0,0.1,1,0,0,0,x,0,0,0\n"}) {
    TempFile file(header + "\n" + row, ".csv");
    EXPECT_THROW(TruthTable::read(file.path()), std::runtime_error) << row;
  }
  TempFile notTruth("time,base_x\n0,0\n", ".csv");
  EXPECT_THROW(TruthTable::read(notTruth.path()), std::runtime_error);
}
