#!/usr/bin/env python3
"""The standing demo of physics_demo.py from another machine: the same controller, reaching
the robot through its robot service (bin/drivelink_dds) over DDS instead of opening it here.
Only the constructor differs.

On the robot's computer:
    bin/drivelink_dds configs/veltra1.yaml --interface eth1
On this one (same network, same domain):
    DRIVELINK_DDS_INTERFACE=eth1 PYTHONPATH=lib python3 examples/remote_stand_demo.py veltra1

The exit status is physics_demo.py's: 1 when the robot fell (with --truth), 2 when it never
moved. A RemoteRobotError says no service publishes the name; SessionRefused that another
controller is in charge.
"""

import argparse
import sys

import ambulink
from physics_demo import demo_arguments, run_demo


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("name", help="the robot's name on DDS (the service's --name, by default its robot_type)")
    parser.add_argument("--domain", type=int, default=0, help="DDS domain (default 0)")
    parser.add_argument("--lease", type=float, default=0.05,
                        help="how long each command stays good, in s (at most 0.5); silent longer, the robot brakes")
    demo_arguments(parser)
    args = parser.parse_args()
    if not args.speed > 0:
        parser.error("--speed must be positive")
    return run_demo(ambulink.RemoteRobot(args.name, domain=args.domain, lease=args.lease), args)


if __name__ == "__main__":
    sys.exit(main())
