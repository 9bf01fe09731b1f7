// Checks a biped's MuJoCo model against the SDK's leg kinematics without any dynamics:
// the motor joints are placed, the closed chains are closed by a Newton projection on the
// other joints, and each serial-chain joint of the model is compared with what
// switchLegJoint computes from the same motor angles. Also prints keyframe poses for given
// serial-chain stances, and how fast and how tightly the chains hold while stepping.
//
//   model_check MODEL.xml                    checks; exit status 1 when one fails
//   model_check MODEL.xml --stance HIP KNEE ANKLE
//                                            prints the qpos of a keyframe: both legs at
//                                            that serial sagittal stance, yaw and roll 0,
//                                            torso upright, soles resting on the floor
#include <Eigen/Dense>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kinematics.h"
#include "mujoco_model.h"

namespace {

constexpr int kLegJoints = 5;
constexpr double kTolerance = 1e-6;      // rad: two exact computations of one angle
constexpr double kClosure = 1e-4;        // m: the chains' largest opening while stepping
// rad: an ankle parallelogram folds flat when its crank or the foot stands at +-90 degrees to
// the thigh or the shank; the ankle joints must stay short of that.
constexpr double kAnkleFold = M_PI / 2 - 0.05;
constexpr double kRotorArmature = 0.01;  // kg m^2 joint side, about what the simulator sets

int jointId(const mjModel* m, const std::string& name) { return mj_name2id(m, mjOBJ_JOINT, name.c_str()); }

// qpos address of the joint, or -1 when the model has no such joint.
int qposOf(const mjModel* m, const std::string& name) {
  const int id = jointId(m, name);
  return id < 0 ? -1 : m->jnt_qposadr[id];
}

// The model's angle of serial-chain joint k: its own virtual<k> joint, else motor<k>.
double virtualAngle(const mjModel* m, const mjData* d, int k) {
  int adr = qposOf(m, "virtual" + std::to_string(k));
  if (adr < 0) adr = qposOf(m, "motor" + std::to_string(k));
  return d->qpos[adr];
}

struct Model {
  mujoco_support::ModelPtr m;
  mujoco_support::DataPtr d;
  std::vector<int> motorQpos;  // motor<i> -> qpos address
  std::vector<int> freeDofs;   // every hinge that is not a motor: the chains' own joints
  std::vector<int> freeQpos;   // their qpos addresses
};

Model load(const char* path) {
  Model model;
  try {
    model.m = mujoco_support::loadModel(path);
    mujoco_support::requireUsableTimestep(model.m.get());
    model.d = mujoco_support::makeData(model.m.get());
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "model_check: %s\n", error.what());
    std::exit(2);
  }
  const mjModel* m = model.m.get();
  for (int i = 0; qposOf(m, "motor" + std::to_string(i)) >= 0; ++i)
    model.motorQpos.push_back(qposOf(m, "motor" + std::to_string(i)));
  for (int j = 0; j < m->njnt; ++j) {
    const std::string name = mj_id2name(m, mjOBJ_JOINT, j) ? mj_id2name(m, mjOBJ_JOINT, j) : "";
    if (m->jnt_type[j] != mjJNT_HINGE || name.rfind("motor", 0) == 0) continue;
    model.freeDofs.push_back(m->jnt_dofadr[j]);
    model.freeQpos.push_back(m->jnt_qposadr[j]);
  }
  return model;
}

// Stacked world-frame gaps of every connect constraint, and their Jacobian over all dofs.
void connectGaps(const mjModel* m, mjData* d, Eigen::VectorXd& gap, Eigen::MatrixXd& jac) {
  gap.resize(3 * m->neq);
  jac.setZero(3 * m->neq, m->nv);
  Eigen::Matrix<double, 3, Eigen::Dynamic, Eigen::RowMajor> j1(3, m->nv), j2(3, m->nv);
  for (int e = 0; e < m->neq; ++e) {
    Eigen::Vector3d p[2];
    const int bodies[2] = {m->eq_obj1id[e], m->eq_obj2id[e]};
    for (int s = 0; s < 2; ++s) {
      const Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>> rot(d->xmat + 9 * bodies[s]);
      p[s] = Eigen::Map<const Eigen::Vector3d>(d->xpos + 3 * bodies[s]) +
             rot * Eigen::Map<const Eigen::Vector3d>(m->eq_data + mjNEQDATA * e + 3 * s);
    }
    mj_jac(m, d, j1.data(), nullptr, p[0].data(), bodies[0]);
    mj_jac(m, d, j2.data(), nullptr, p[1].data(), bodies[1]);
    gap.segment<3>(3 * e) = p[0] - p[1];
    jac.middleRows<3>(3 * e) = j1 - j2;
  }
}

// Closes every chain by moving only the non-motor hinges; returns the remaining gap norm.
double closeChains(Model& model) {
  const mjModel* m = model.m.get();
  mjData* d = model.d.get();
  Eigen::VectorXd gap;
  Eigen::MatrixXd jac;
  for (int iteration = 0; iteration < 50; ++iteration) {
    mj_kinematics(m, d);
    mj_comPos(m, d);
    connectGaps(m, d, gap, jac);
    if (gap.norm() < 1e-13) break;
    Eigen::MatrixXd jFree(jac.rows(), model.freeDofs.size());
    for (size_t c = 0; c < model.freeDofs.size(); ++c) jFree.col(c) = jac.col(model.freeDofs[c]);
    const Eigen::VectorXd step = jFree.completeOrthogonalDecomposition().solve(-gap);
    for (size_t c = 0; c < model.freeQpos.size(); ++c) d->qpos[model.freeQpos[c]] += step[c];
  }
  return gap.norm();
}

// Moves the motors to `target` in small steps, closing the chains at each, so the linkages
// stay on the branch they were built on.
double walkMotors(Model& model, const Eigen::VectorXd& target) {
  mjData* d = model.d.get();
  const size_t n = model.motorQpos.size();
  Eigen::VectorXd start(n);
  for (size_t i = 0; i < n; ++i) start[i] = d->qpos[model.motorQpos[i]];
  const int steps = std::max(1, static_cast<int>(std::ceil((target - start).cwiseAbs().maxCoeff() / 0.02)));
  double gap = 0.0;
  for (int s = 1; s <= steps; ++s) {
    const Eigen::VectorXd q = start + (target - start) * (static_cast<double>(s) / steps);
    for (size_t i = 0; i < n; ++i) d->qpos[model.motorQpos[i]] = q[i];
    gap = closeChains(model);
  }
  return gap;
}

Vec5<double> legMotors(const Model& model, int leg) {
  Vec5<double> q;
  for (int j = 0; j < kLegJoints; ++j) q[j] = model.d->qpos[model.motorQpos[kLegJoints * leg + j]];
  return q;
}

// The model's serial-chain angles of one leg.
Vec5<double> legSerial(const Model& model, int leg) {
  Vec5<double> q;
  for (int j = 0; j < kLegJoints; ++j) q[j] = virtualAngle(model.m.get(), model.d.get(), kLegJoints * leg + j);
  return q;
}

// The model's d serial / d motor for one motor of the leg, by a central difference.
Vec5<double> serialRate(Model& model, int leg, int joint) {
  const int motor = model.motorQpos[kLegJoints * leg + joint];
  const double h = 1e-5;
  const std::vector<double> saved(model.d->qpos, model.d->qpos + model.m->nq);
  Vec5<double> around[2];
  for (int s = 0; s < 2; ++s) {
    model.d->qpos[motor] = saved[motor] + (s == 0 ? -h : h);
    closeChains(model);
    around[s] = legSerial(model, leg);
    std::copy(saved.begin(), saved.end(), model.d->qpos);
  }
  return (around[1] - around[0]) / (2 * h);
}

// The largest difference between the model's serial-chain angles and the SDK's, and the same
// for the Jacobian's columns of the knee and ankle motors.
struct Difference {
  double angle = 0.0;
  double jacobian = 0.0;
};

Difference compareWithKinematics(Model& model) {
  Difference worst;
  for (int leg = 0; leg < 2; ++leg) {
    const char side = leg == 0 ? 'l' : 'r';
    Vec5<double> serial;
    Mat5<double> jac;
    if (!gravon_kinematics::switchLegJoint(legMotors(model, leg), serial, jac, 'p', side)) {
      std::printf("  the SDK cannot convert leg %c here\n", side);
      worst.angle = INFINITY;
      continue;
    }
    worst.angle = std::max(worst.angle, (legSerial(model, leg) - serial).cwiseAbs().maxCoeff());
    for (int joint : {3, 4})
      worst.jacobian = std::max(worst.jacobian, (serialRate(model, leg, joint) - jac.col(joint)).cwiseAbs().maxCoeff());
  }
  return worst;
}

// Motor angles along a path that crosses every motor's hardware range, t in [0, 1].
Eigen::VectorXd sweepPose(size_t motors, double t) {
  Eigen::VectorXd q(motors);
  for (size_t i = 0; i < motors; ++i) {
    const double lo = gravon_kinematics::get_jpos_hardware_min(i), hi = gravon_kinematics::get_jpos_hardware_max(i);
    const double phase = 2.0 * M_PI * (1.0 + 0.37 * (i % kLegJoints)) * t + 0.3 * i;
    q[i] = 0.5 * (lo + hi) + 0.499 * (hi - lo) * std::sin(phase);
  }
  return q;
}

bool checkSweep(Model& model) {
  Difference worst;
  double gap = 0.0;
  const int points = 400;
  for (int k = 0; k <= points; ++k) {
    gap = std::max(gap, walkMotors(model, sweepPose(model.motorQpos.size(), static_cast<double>(k) / points)));
    const Difference here = compareWithKinematics(model);
    worst.angle = std::max(worst.angle, here.angle);
    worst.jacobian = std::max(worst.jacobian, here.jacobian);
  }
  std::printf(
      "sweep over the hardware ranges, %d poses: chain gap %.2e m, serial angles differ by %.2e rad, "
      "knee and ankle Jacobian columns by %.2e\n",
      points + 1, gap, worst.angle, worst.jacobian);
  return gap < 1e-9 && worst.angle < kTolerance && worst.jacobian < 1e-4;
}

// Geometry of the compiled model against the SDK's leg geometry, left leg.
bool checkLengths(Model& model) {
  const mjModel* m = model.m.get();
  mjData* d = model.d.get();
  mj_resetData(m, d);
  mj_kinematics(m, d);
  const gravon_kinematics::kinData geometry;
  auto at = [&](const char* body) {
    return Eigen::Vector3d(Eigen::Map<const Eigen::Vector3d>(d->xpos + 3 * mj_name2id(m, mjOBJ_BODY, body)));
  };
  auto anchor = [&](const char* eq, int side) {
    const int e = mj_name2id(m, mjOBJ_EQUALITY, eq);
    const int b = side == 0 ? m->eq_obj1id[e] : m->eq_obj2id[e];
    const Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>> rot(d->xmat + 9 * b);
    return Eigen::Vector3d(Eigen::Map<const Eigen::Vector3d>(d->xpos + 3 * b) +
                           rot * Eigen::Map<const Eigen::Vector3d>(m->eq_data + mjNEQDATA * e + 3 * side));
  };
  struct Length {
    const char* what;
    double model, sdk;
  } lengths[] = {
      {"thigh", (at("l_shank") - at("l_thigh")).norm(), geometry.thighLength},
      {"shank", (at("l_foot") - at("l_shank")).norm(), geometry.shankLength},
      {"knee crank", (at("l_knee_rod") - at("l_thigh")).norm(), geometry.kneeCrankLength},
      {"knee rod", (anchor("l_knee_rod", 1) - at("l_knee_rod")).norm(), geometry.kneeRodLength},
      {"knee rod offset", (anchor("l_knee_rod", 0) - at("l_shank")).norm(), geometry.kneeRodOffset},
      {"ankle crank", (at("l_ankle_rod_upper") - at("l_thigh")).norm(), geometry.ankleCrankLength},
      {"upper ankle rod", (anchor("l_ankle_rod_upper", 1) - at("l_ankle_rod_upper")).norm(), geometry.thighLength},
      {"bell crank lower arm", (at("l_ankle_rod_lower") - at("l_bell_crank")).norm(), geometry.ankleArmLength},
      {"lower ankle rod", (anchor("l_ankle_rod_lower", 1) - at("l_ankle_rod_lower")).norm(), geometry.shankLength},
      {"foot rod pivot", (anchor("l_ankle_rod_lower", 0) - at("l_foot")).norm(), geometry.ankleArmLength},
  };
  bool ok = true;
  for (const Length& l : lengths) {
    const bool same = std::abs(l.model - l.sdk) < 1e-12;
    if (!same) std::printf("  %s: model %.15g m, kinematics %.15g m\n", l.what, l.model, l.sdk);
    ok = ok && same;
  }
  double mass = 0.0;
  for (int b = 0; b < m->nbody; ++b) mass += m->body_mass[b];
  std::printf("link lengths %s; total mass %.2f kg\n", ok ? "match the kinematics" : "DIFFER", mass);
  return ok;
}

// Steps 2 s from each keyframe with the torso free and the motors, given a rotor's inertia
// as the simulator does, either held by stiff PD laws or limp (the robot falls); prints the
// speed and the chains' largest opening.
bool checkStepping(Model& model) {
  mjModel* m = model.m.get();
  mjData* d = model.d.get();
  std::vector<int> motorDofs;
  for (size_t i = 0; i < model.motorQpos.size(); ++i)
    motorDofs.push_back(m->jnt_dofadr[jointId(m, "motor" + std::to_string(i))]);
  for (int dof : motorDofs) m->dof_armature[dof] = kRotorArmature;
  bool ok = true;
  for (int key = 0; key < m->nkey; ++key) {
    mj_resetDataKeyframe(m, d, key);
    mj_forward(m, d);
    double back = INFINITY, front = -INFINITY;
    for (int g = 0; g < m->ngeom; ++g) {
      if (!m->geom_contype[g] || m->geom_type[g] != mjGEOM_CAPSULE) continue;
      back = std::min(back, d->geom_xpos[3 * g]);
      front = std::max(front, d->geom_xpos[3 * g]);
    }
    std::printf("keyframe %s: centre of mass at x %.3f m, soles from %.3f to %.3f m\n", mj_id2name(m, mjOBJ_KEY, key),
                d->subtree_com[0], back, front);
    for (const double kp : {600.0, 0.0}) {
      mj_resetDataKeyframe(m, d, key);
      std::vector<double> hold(model.motorQpos.size());
      for (size_t i = 0; i < hold.size(); ++i) hold[i] = d->qpos[model.motorQpos[i]];
      double worstGap = 0.0, widestFold = 0.0;
      Eigen::VectorXd gap;
      Eigen::MatrixXd jac;
      const int steps = static_cast<int>(2.0 / m->opt.timestep);
      const auto begin = std::chrono::steady_clock::now();
      for (int s = 0; s < steps; ++s) {
        for (size_t i = 0; i < hold.size(); ++i)
          d->qfrc_applied[motorDofs[i]] = kp * (hold[i] - d->qpos[model.motorQpos[i]]) - 2.0 * d->qvel[motorDofs[i]];
        mj_step(m, d);
        connectGaps(m, d, gap, jac);
        for (int e = 0; e < m->neq; ++e) worstGap = std::max(worstGap, gap.segment<3>(3 * e).norm());
        for (int ankle : {4, 9}) {
          widestFold = std::max(widestFold, std::abs(virtualAngle(m, d, ankle)));
          widestFold = std::max(widestFold, std::abs(d->qpos[model.motorQpos[ankle]]));
        }
      }
      const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      std::printf(
          "keyframe %s, motors %s: 2 s stepped at %.0fx real time, chains open by at most %.1e m, "
          "ankle joints within %.3f rad, torso at z %.3f m\n",
          mj_id2name(m, mjOBJ_KEY, key), kp > 0 ? "held" : "limp", 2.0 / wall, worstGap, widestFold, d->qpos[2]);
      ok = ok && worstGap < kClosure && widestFold < kAnkleFold;
    }
  }
  return ok;
}

void printStance(Model& model, double hip, double knee, double ankle) {
  const mjModel* m = model.m.get();
  mjData* d = model.d.get();
  mj_resetData(m, d);
  Vec5<double> serial, motors;
  serial << 0.0, 0.0, hip, knee, ankle;
  Eigen::VectorXd target(model.motorQpos.size());
  target.setZero();
  for (int leg = 0; leg < 2; ++leg) {
    if (!gravon_kinematics::switchLegJoint(serial, motors, 's', leg == 0 ? 'l' : 'r')) {
      std::fprintf(stderr, "model_check: the kinematics cannot reach that stance\n");
      std::exit(2);
    }
    target.segment<kLegJoints>(kLegJoints * leg) = motors;
  }
  walkMotors(model, target);
  // Upright torso, lowered until the lowest sole point rests on the floor.
  mj_kinematics(m, d);
  double lowest = INFINITY;
  for (int g = 0; g < m->ngeom; ++g)
    if (m->geom_contype[g] && m->geom_type[g] == mjGEOM_CAPSULE)
      lowest = std::min(lowest, d->geom_xpos[3 * g + 2] - m->geom_size[3 * g]);
  d->qpos[2] -= lowest;
  std::printf("qpos=\"");
  for (int i = 0; i < m->nq; ++i) std::printf(i ? " %.10g" : "%.10g", std::abs(d->qpos[i]) < 1e-15 ? 0.0 : d->qpos[i]);
  std::printf("\"\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && !(argc == 6 && std::string(argv[2]) == "--stance")) {
    std::fprintf(stderr, "usage: model_check MODEL.xml [--stance HIP KNEE ANKLE]\n");
    return 2;
  }
  mujoco_support::installMessageHooks("model_check");
  Model model = load(argv[1]);
  if (argc == 6) {
    printStance(model, std::atof(argv[3]), std::atof(argv[4]), std::atof(argv[5]));
    return 0;
  }
  bool ok = checkLengths(model);
  ok = checkSweep(model) && ok;
  ok = checkStepping(model) && ok;
  std::printf("%s\n", ok ? "model agrees with the kinematics" : "MODEL CHECK FAILED");
  return ok ? 0 : 1;
}
