#!/usr/bin/env python3
"""Loads the Fiscal control, brings the processor on line and issues a two-item invoice.

    python3 example_issue.py --sim            # starts the virtual processor (karvex-sim) itself
    python3 example_issue.py --port 1         # a real processor on port 1 (/dev/ttyS0 or $KARVEX_COM1)

The library is found through $KARVEX_LIBRARY, next to this file or in the build folders; karvex-sim through
--sim-program, $KARVEX_SIM or the build folders.
"""

import argparse
import os
import sys
import tempfile

import karvex
from karvex_sim import VirtualProcessor


def issue(port):
    with karvex.Fiscal() as fiscal:
        # Asked only when the stored port cannot be opened: answer with the port given here.
        fiscal.set_user_interface(ask_text=lambda title, prompt, initial: str(port))
        code = fiscal.LoadFiscalForm()
        print("LoadFiscalForm:", code, fiscal.Description)
        if code != 0:
            return code
        code = fiscal.FiscalOnline()
        print("FiscalOnline:", code, fiscal.Description)
        if code != 0:
            return code

        # Goods as a list: quantities, prices and amounts as decimal text (at most two decimals), sent exactly.
        code = fiscal.make_inv(karvex.COMMAND_ISSUE, 1, 0, "", "某某商贸有限公司", [
            karvex.Goods("大米", "2.5", "4", "10", 1),
            karvex.Goods("食用油", "1", "59.9", "59.9", 1),
        ])
        print("FiscalMakeInv:", code, fiscal.Description)
        if code == 0:
            _, machine, user, tax_number, tax_code, when = fiscal.FiscalReturnInvInfo()
            print("  machine", machine, "user", user, "tax number", tax_number, "tax code", tax_code, "at", when)
            code_num, number = fiscal.FiscalGetInvNum()
            print("FiscalGetInvNum:", code_num, number)
        fiscal.UnloadFicalForm()
        return code


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", action="store_true", help="start the virtual processor karvex-sim")
    parser.add_argument("--sim-program", help="path of karvex-sim")
    parser.add_argument("--port", type=int, default=1, help="serial port number 1 to 5 (default 1)")
    args = parser.parse_args()

    if not args.sim:
        return 0 if issue(args.port) == 0 else 1
    with VirtualProcessor(args.sim_program) as sim, tempfile.TemporaryDirectory(prefix="karvex-data-") as data:
        print("virtual processor on", sim.device_path)
        os.environ["KARVEX_COM%d" % args.port] = sim.device_path
        os.environ.setdefault("KARVEX_DATA_DIR", data)
        return 0 if issue(args.port) == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
