"""The Python module against the virtual processor program, the way a Python host uses it.

Run: python3 -m unittest -v test_karvex (with KARVEX_LIBRARY and KARVEX_SIM set, or a build folder in the
source tree). The library must be a build without sanitizers.
"""

import decimal
import os
import shutil
import tempfile
import threading
import unittest

import karvex
from karvex_sim import VirtualProcessor

NO_OPEN_PORT = 132


class FiscalTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
        # The time-out keeps its one-second ticks: an answer that only comes once the processor's thread
        # gets the machine must not be 31 short ticks too late on a busy machine. No test here waits for a
        # time-out; one that does sets a short tick for its own control only.
        os.environ.pop("KARVEX_TICK_MS", None)
        cls.sim = VirtualProcessor().start()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def setUp(self):
        self.data = tempfile.mkdtemp(prefix="karvex-py-")
        os.environ["KARVEX_DATA_DIR"] = self.data
        os.environ["KARVEX_COM1"] = self.sim.device_path
        self.fiscal = karvex.Fiscal()

    def tearDown(self):
        if self.fiscal._h:
            self.fiscal.UnloadFicalForm()
        self.fiscal.close()
        os.environ.pop("KARVEX_COM2", None)
        shutil.rmtree(self.data, ignore_errors=True)

    def remake(self):
        # A control reads the environment when it is made, and only then.
        self.fiscal.close()
        self.fiscal = karvex.Fiscal()

    def load(self):
        # A new data directory has no port stored yet: answer the prompt with port 1.
        self.fiscal.set_user_interface(ask_text=lambda title, prompt, initial: "1")
        self.assertEqual(self.fiscal.LoadFiscalForm(), 0, self.fiscal.Description)

    def test_load_online_and_description(self):
        self.load()
        self.assertEqual(self.fiscal.FiscalOnline(), 0)
        self.assertEqual(self.fiscal.Status, 0)
        self.assertEqual(self.fiscal.Description, "0x0：执行成功")

    def test_no_open_port(self):
        self.assertEqual(self.fiscal.FiscalOnline(), NO_OPEN_PORT)
        self.assertEqual(self.fiscal.Status, NO_OPEN_PORT)
        self.assertEqual(self.fiscal.Description, "0x84：没有打开的串口发送命令")

    def test_port_prompt_reaches_a_python_callback(self):
        os.environ["KARVEX_COM1"] = os.path.join(self.data, "no-such-device")
        os.environ["KARVEX_COM2"] = self.sim.device_path
        self.remake()
        asked = []

        def ask_text(title, prompt, initial):
            asked.append(title)
            return "2"

        self.fiscal.set_user_interface(ask_text=ask_text)
        self.assertEqual(self.fiscal.LoadFiscalForm(), 0)
        self.assertEqual(asked, ["打开串口"])
        self.assertEqual(self.fiscal.FiscalOnline(), 0)

    def test_cancelled_prompt_and_nested_call(self):
        os.environ["KARVEX_COM1"] = os.path.join(self.data, "no-such-device")
        self.remake()
        nested = []

        def ask_text(title, prompt, initial):
            try:
                self.fiscal.FiscalOnline()
            except karvex.KarvexError as e:
                nested.append(e.status)
            return None  # Cancel

        self.fiscal.set_user_interface(ask_text=ask_text)
        self.assertEqual(self.fiscal.LoadFiscalForm(), NO_OPEN_PORT)
        self.assertEqual(nested, [karvex.ERR_BUSY])

    def test_outputs_come_back_as_tuples_and_dicts(self):
        code, number = self.fiscal.FiscalGetInvNum("0000000042")
        self.assertNotEqual(code, 0)
        self.assertEqual(number, "0000000042", "a failed call leaves the output as it was")
        code, out = self.fiscal.GetInvUseSum("123")
        self.assertIsInstance(out, dict)
        self.assertEqual(set(out), {"BeginDate", "EndDate", "BeginInvNum", "EndInvNum", "InvalidateInv",
                                    "NormalInv", "NormalSum", "ReturnInv", "ReturnSum", "InvCode", "TaxNumber",
                                    "UserName", "MachineNumber"})
        code, out = self.fiscal.GetPrintInv(karvex.COMMAND_LAST_INVOICE)
        self.assertIn("InvType", out)
        self.assertEqual(len(self.fiscal.FiscalReturnInvInfo()), 6)

    def test_bad_arguments_raise_instead_of_crashing(self):
        with self.assertRaises(karvex.ArgumentOverflowError):
            self.fiscal.FiscalMakeInv(karvex.COMMAND_ISSUE, 2**40, 0, "", "", 1, "", "", "", "", "")
        with self.assertRaises(OverflowError):
            self.fiscal.ShowFiscalForm(2**31, 0)
        with self.assertRaises(karvex.KarvexError) as caught:
            self.fiscal.FiscalInvalidateInv("12\0" "3")
        self.assertEqual(caught.exception.status, karvex.ERR_INVALID_TEXT)
        with self.assertRaises(karvex.KarvexError):
            self.fiscal.FiscalInvalidateInv("\udc80")  # a lone surrogate has no UTF-8 form
        with self.assertRaises(TypeError):
            self.fiscal.FiscalInvalidateInv(123)

    def test_issue_with_too_many_items_sends_nothing(self):
        self.load()
        self.assertEqual(self.fiscal.FiscalOnline(), 0)
        with self.assertRaises(karvex.ArgumentOverflowError) as caught:
            self.fiscal.FiscalMakeInv(karvex.COMMAND_ISSUE, 1, 0, "", "某某公司", 300, " " * 6000, " " * 3300,
                                      " " * 3300, " " * 3300, "1" * 300)
        self.assertEqual(caught.exception.status, karvex.ERR_ARGUMENT_OVERFLOW)
        self.assertEqual(self.fiscal.Status, 0, "the last command's result is not touched")

    def test_issue_and_read_the_reply(self):
        self.load()
        self.assertEqual(self.fiscal.FiscalOnline(), 0)
        code = self.fiscal.FiscalMakeInv(
            52, 1, 0, "", "某某公司", 2, karvex.fixed_slices(["大米", "食用油"], 20, "gbk"),
            karvex.fixed_slices(["2.5", "1"], 11), karvex.fixed_slices(["4", "59.9"], 11),
            karvex.fixed_slices(["10", "59.9"], 11), "11")
        self.assertEqual(code, 0, self.fiscal.Description)
        code, machine, user, tax_number, tax_code, when = self.fiscal.FiscalReturnInvInfo()
        self.assertEqual(code, 0)
        self.assertTrue(machine and user and tax_code and when)
        self.assertTrue(user.strip(), "the GBK user name comes back as readable text")

    def test_a_sale_id_is_issued_once(self):
        self.load()
        self.assertEqual(self.fiscal.get_sale()[0], 139, "no sale yet")
        args = (52, 1, 0, "", "某某公司", 1, karvex.fixed_slices(["大米"], 20, "gbk"), " " * 10 + "1",
                " " * 9 + "10", " " * 9 + "10", "1")
        self.assertEqual(self.fiscal.make_inv(*args, sale_id="POS-7"), 0, self.fiscal.Description)
        code, state, inv_num, tax_code, when = self.fiscal.get_sale("POS-7")
        self.assertEqual((code, state), (0, "answered"))
        self.assertRegex(inv_num, r"^\d{10}$", "an answered sale knows its invoice number")
        self.assertEqual(tax_code, self.fiscal.FiscalReturnInvInfo()[4])
        self.assertEqual(self.fiscal.make_inv(*args, sale_id="POS-7"), 0, "answered from the journal")
        other = args[:8] + (" " * 9 + "20", " " * 9 + "20", "1")
        self.assertEqual(self.fiscal.make_inv(*other, sale_id="POS-7"), 138)

    def test_goods_given_as_a_list(self):
        self.load()
        rice = {"name": "大米", "quantity": "2.5", "price": "4", "amount": "10", "tax_index": 1}
        self.assertEqual(self.fiscal.make_inv(52, 1, 0, "", "某某公司", [rice], sale_id="POS-L"), 0,
                         self.fiscal.Description)
        # The same sale as a dataclass is the same content: the journal answers it, nothing is sent again.
        same = karvex.Goods("大米", decimal.Decimal("2.50"), 4, "10.00", 1)
        self.assertEqual(self.fiscal.make_inv(52, 1, 0, "", "某某公司", [same], sale_id="POS-L"), 0)
        refused = [  # (what, change, exception or code)
            ("a third decimal would be rounded away", {"amount": "10.005"}, ValueError),
            ("a float cannot hold most decimals", {"quantity": 2.5}, TypeError),
            ("an unknown key", {"qty": "1"}, TypeError),
            ("a tax index outside 1 to 9", {"tax_index": 10}, 224),
        ]
        for what, change, expected in refused:
            line = dict(rice, **change)
            if isinstance(expected, int):
                self.assertEqual(self.fiscal.make_inv(52, 1, 0, "", "", [line]), expected, what)
            else:
                with self.assertRaises(expected, msg=what):
                    self.fiscal.make_inv(52, 1, 0, "", "", [line])

    def test_invoices_that_would_go_out_changed_are_refused(self):
        self.load()
        one = " " * 10 + "1"
        cases = [  # (what, command, returned number, payer, name, amount, code)
            ("payer without a GBK form", 52, "", "P\U0001F600", "Rice", one, 98),
            ("name print data could not read back", 52, "", "ACME", "镕", one, 100),
            ("returned number with a point", 53, "9.5", "ACME", "Rice", one, 105),
            ("amount of 0 fen", 52, "", "ACME", "Rice", "      0.005", 166),
        ]
        for what, command, returned, payer, name, amount, code in cases:
            self.assertEqual(self.fiscal.FiscalMakeInv(command, 1, 0, returned, payer, 1, name, one, one, amount,
                                                       "1"), code, what)
            self.assertEqual(self.fiscal.Status, code, what)

    def test_calls_from_another_thread_are_refused(self):
        errors = []

        def other():
            try:
                self.fiscal.FiscalOnline()
            except karvex.KarvexError as e:
                errors.append(e.status)

        t = threading.Thread(target=other)
        t.start()
        t.join()
        self.assertEqual(errors, [karvex.ERR_WRONG_THREAD])

    def test_closed_control_raises(self):
        self.fiscal.close()
        with self.assertRaises(karvex.KarvexError):
            self.fiscal.FiscalOnline()


class HelpersTest(unittest.TestCase):
    def test_fixed_slices_count_gbk_bytes_for_names(self):
        names = karvex.fixed_slices(["大米", "油"], 20, "gbk")
        self.assertEqual(len(names.encode("gbk")), 40)
        self.assertTrue(names.startswith("大米" + " " * 16))
        self.assertEqual(karvex.fixed_slices(["2.5"], 11), "2.5" + " " * 8)
        with self.assertRaises(ValueError):
            karvex.fixed_slices(["1" * 12], 11)

    def test_version(self):
        self.assertRegex(karvex.version(), r"^\d+\.\d+\.\d+$")


if __name__ == "__main__":
    unittest.main()
