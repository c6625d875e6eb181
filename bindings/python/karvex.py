"""Karvex for Python: the Fiscal control that drives a tax-control processor (税控器) over a serial port.

A thin ctypes layer over the C interface of libkarvex (karvex/karvex.h); no other packages are needed.
Each method returns the control's result code (0 for success, 1 to 64 the processor's refusals, other
positive codes the library's own; `Description` gives the message). Methods with outputs return a tuple
``(code, output, ...)`` or, for the two long ones, ``(code, dict)``. A call the C interface refuses itself
(an argument too wide for its field, text that is not UTF-8, a call from another thread or from inside a
callback of a waiting call) raises `KarvexError`; `ArgumentOverflowError` is also an `OverflowError`.

    from karvex import Fiscal
    fiscal = Fiscal()
    if fiscal.LoadFiscalForm() == 0 and fiscal.FiscalOnline() == 0:
        code, number = fiscal.FiscalGetInvNum()
    print(fiscal.Status, fiscal.Description)
    fiscal.UnloadFicalForm()
    fiscal.close()

The library is looked for in $KARVEX_LIBRARY, then next to this module, then in the build folders of the
source tree (build/<preset>/src, build*/src), then by the system's loader (libkarvex.so.0, what the
python3-karvex package relies on).
"""

import ctypes
import dataclasses
import decimal
import glob
import os

__all__ = ["Fiscal", "Goods", "KarvexError", "ArgumentOverflowError", "load_library",
           "ERR_ARGUMENT_OVERFLOW", "ERR_NULL_ARGUMENT", "ERR_INVALID_TEXT", "ERR_OUT_OF_MEMORY",
           "ERR_INTERNAL", "ERR_WRONG_THREAD", "ERR_BUSY",
           "COMMAND_ISSUE", "COMMAND_RETURN", "COMMAND_INVOICE_BY_NUMBER", "COMMAND_LAST_INVOICE"]

ERR_ARGUMENT_OVERFLOW = -1
ERR_NULL_ARGUMENT = -2
ERR_INVALID_TEXT = -3
ERR_OUT_OF_MEMORY = -4
ERR_INTERNAL = -5
ERR_WRONG_THREAD = -6
ERR_BUSY = -7

# The command numbers FiscalMakeInv and GetPrintInv take, as karvex/command_numbers.h names them.
COMMAND_ISSUE = 0x34
COMMAND_RETURN = 0x35
COMMAND_INVOICE_BY_NUMBER = 0x42
COMMAND_LAST_INVOICE = 0xB1


class KarvexError(Exception):
    """A call refused by the C interface itself; `status` is the negative KARVEX_ERR_* value."""

    def __init__(self, status, reason):
        super().__init__("karvex status %d: %s" % (status, reason))
        self.status = status
        self.reason = reason


class ArgumentOverflowError(KarvexError, OverflowError):
    """A host argument does not fit the byte or 16-bit field it is sent in; nothing was sent."""


_HERE = os.path.dirname(os.path.abspath(__file__))
_LIB = None


def _candidates():
    env = os.environ.get("KARVEX_LIBRARY")
    if env:
        yield env
        return
    for name in ("libkarvex.so", "libkarvex.so.0"):
        yield os.path.join(_HERE, name)
    root = os.path.dirname(os.path.dirname(_HERE))
    built = glob.glob(os.path.join(root, "build", "*", "src", "libkarvex.so"))
    built += glob.glob(os.path.join(root, "build*", "src", "libkarvex.so"))
    # A Release tree first: the one an example run after the README's build finds.
    built.sort(key=lambda path: (os.sep + "release" + os.sep not in path, path))
    for path in built:
        # A sanitizer build cannot be loaded into a plain interpreter (it would end the process).
        with open(path, "rb") as f:
            if b"libasan.so" in f.read():
                continue
        yield path
    yield "libkarvex.so.0"


def load_library():
    """Loads libkarvex once and declares the C functions; raises OSError naming every place tried."""
    global _LIB
    if _LIB is not None:
        return _LIB
    tried = []
    for path in _candidates():
        if os.sep in path and not os.path.exists(path):
            tried.append(path + " (missing)")
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            tried.append("%s (%s)" % (path, e))
            continue
        _declare(lib)
        _LIB = lib
        return lib
    raise OSError("libkarvex not found; set KARVEX_LIBRARY. Tried: " + "; ".join(tried))


_c_int32 = ctypes.c_int32
_p = ctypes.c_void_p
_s = ctypes.c_char_p
_i32p = ctypes.POINTER(ctypes.c_int32)
_dp = ctypes.POINTER(ctypes.c_double)



class _CGoods(ctypes.Structure):
    """karvex_goods of karvex.h."""
    _fields_ = [("name", ctypes.c_char_p), ("quantity", ctypes.c_int64), ("price", ctypes.c_int64),
                ("amount", ctypes.c_int64), ("tax_index", ctypes.c_int32)]


SHOW_MESSAGE = ctypes.CFUNCTYPE(None, _p, _s, _s)
ASK_YES_NO = ctypes.CFUNCTYPE(ctypes.c_int, _p, _s, _s)
ASK_TEXT = ctypes.CFUNCTYPE(ctypes.c_int, _p, _s, _s, _s, _p)


def _declare(lib):
    def fn(name, restype, *argtypes):
        f = getattr(lib, name)
        f.restype = restype
        f.argtypes = list(argtypes)

    fn("karvex_version", _s)
    fn("karvex_string_create", _p, _s)
    fn("karvex_string_get", _s, _p)
    fn("karvex_string_size", ctypes.c_size_t, _p)
    fn("karvex_string_set", _c_int32, _p, _s)
    fn("karvex_string_free", None, _p)
    fn("karvex_create", _p)
    fn("karvex_destroy", None, _p)
    fn("karvex_last_error", _s, _p)
    fn("karvex_set_user_interface", _c_int32, _p, SHOW_MESSAGE, ASK_YES_NO, ASK_TEXT, _p)
    fn("karvex_ShowFiscalForm", _c_int32, _p, _c_int32, _c_int32)
    fn("karvex_LoadFiscalForm", _c_int32, _p)
    fn("karvex_UnloadFicalForm", _c_int32, _p, _c_int32)
    fn("karvex_FiscalOnline", _c_int32, _p)
    fn("karvex_FiscalGetInvNum", _c_int32, _p, _p)
    fn("karvex_FiscalMakeInv", _c_int32, _p, _c_int32, _c_int32, _c_int32, _s, _s, _c_int32, _s, _s, _s, _s, _s)
    fn("karvex_FiscalMakeInvSale", _c_int32, _p, _s, _c_int32, _c_int32, _c_int32, _s, _s, _c_int32, _s, _s, _s, _s,
       _s)
    fn("karvex_FiscalMakeInvGoods", _c_int32, _p, _s, _c_int32, _c_int32, _c_int32, _s, _s, ctypes.POINTER(_CGoods),
       _c_int32)
    fn("karvex_FiscalGetSale", _c_int32, _p, _s, _p, _p, _p, _p)
    fn("karvex_FiscalReturnInvInfo", _c_int32, _p, _p, _p, _p, _p, _p)
    fn("karvex_FiscalInvalidateInv", _c_int32, _p, _p)
    fn("karvex_GetPrintInv", _c_int32, _p, _c_int32, *([_p] * 12), _i32p)
    fn("karvex_GetInvUseSum", _c_int32, _p, _s, _p, _p, _p, _p, _i32p, _i32p, _dp, _i32p, _dp, _p, _p, _p, _p)
    fn("karvex_FiscalInstallInv", _c_int32, _p, _c_int32, _c_int32)
    fn("karvex_Status", _c_int32, _p)
    fn("karvex_Description", _c_int32, _p, _p)


def version():
    return load_library().karvex_version().decode()


def _int32(name, value):
    # ctypes would silently wrap a Python int into 32 bits; a value that does not fit is refused instead.
    value = int(value)
    if not -2**31 <= value < 2**31:
        raise ArgumentOverflowError(ERR_ARGUMENT_OVERFLOW, "%s = %d does not fit 32 bits" % (name, value))
    return value


def _utf8(name, text):
    if not isinstance(text, str):
        raise TypeError("%s must be a str, not %s" % (name, type(text).__name__))
    # A NUL would cut the text short on its way through C.
    if "\0" in text:
        raise KarvexError(ERR_INVALID_TEXT, "%s holds a NUL character" % name)
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise KarvexError(ERR_INVALID_TEXT, "%s is not encodable as UTF-8" % name) from None


@dataclasses.dataclass
class Goods:
    """One goods line of make_inv. quantity, price and amount are decimal numbers with at most two decimals,
    given as str ("2.5"), int or decimal.Decimal; a float is refused, as it cannot hold most decimals exactly."""
    name: str
    quantity: object
    price: object
    amount: object
    tax_index: int = 1


def _hundredths(name, value):
    # The value in hundredths, exactly: a third decimal would have to be rounded away, so it is refused.
    if isinstance(value, (bool, float)) or not isinstance(value, (int, str, decimal.Decimal)):
        raise TypeError("%s must be a str, int or decimal.Decimal, not %s" % (name, type(value).__name__))
    try:
        number = decimal.Decimal(value.strip() if isinstance(value, str) else value)
    except decimal.InvalidOperation:
        raise ValueError("%s = %r is not a decimal number" % (name, value)) from None
    if not number.is_finite():
        raise ValueError("%s = %r is not a decimal number" % (name, value))
    scaled = number.scaleb(2)
    if scaled != scaled.to_integral_value():
        raise ValueError("%s = %r has more than two decimals" % (name, value))
    result = int(scaled)
    if not -2**63 <= result < 2**63:
        raise ArgumentOverflowError(ERR_ARGUMENT_OVERFLOW, "%s = %r does not fit 64 bits" % (name, value))
    return result


def _goods_line(index, line):
    if isinstance(line, dict):
        unknown = set(line) - {f.name for f in dataclasses.fields(Goods)}
        if unknown:
            raise TypeError("goods[%d] has unknown keys %s" % (index, sorted(unknown)))
        line = Goods(**line)
    if not isinstance(line, Goods):
        raise TypeError("goods[%d] must be a Goods or a dict, not %s" % (index, type(line).__name__))
    where = "goods[%d]." % index
    return _CGoods(_utf8(where + "name", line.name), _hundredths(where + "quantity", line.quantity),
                   _hundredths(where + "price", line.price), _hundredths(where + "amount", line.amount),
                   _int32(where + "tax_index", line.tax_index))


class _Strings:
    """C string handles for one call: created from Python texts, read back after the call."""

    def __init__(self, lib, texts):
        self._lib = lib
        self.handles = []
        try:
            for name, text in texts:
                h = lib.karvex_string_create(_utf8(name, text))
                if not h:
                    raise MemoryError("karvex_string_create")
                self.handles.append(h)
        except BaseException:
            self.close()
            raise

    def values(self):
        return [self._lib.karvex_string_get(h).decode("utf-8") for h in self.handles]

    def close(self):
        for h in self.handles:
            self._lib.karvex_string_free(h)
        self.handles = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Fiscal:
    """One control on one serial port. Use it from the thread that created it; close() frees it."""

    def __init__(self):
        self._lib = load_library()
        self._h = self._lib.karvex_create()
        if not self._h:
            raise KarvexError(ERR_INTERNAL, "karvex_create failed (called outside the Qt application's thread?)")
        self._callbacks = None

    # ----- lifetime

    def close(self):
        if self._h:
            self._lib.karvex_destroy(self._h)
            self._h = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def _handle(self):
        if not self._h:
            raise KarvexError(ERR_NULL_ARGUMENT, "the control is closed")
        return self._h

    def _check(self, code):
        if code < 0:
            reason = self._lib.karvex_last_error(self._h).decode("utf-8", "replace")
            cls = ArgumentOverflowError if code == ERR_ARGUMENT_OVERFLOW else KarvexError
            raise cls(code, reason)
        return code

    # ----- dialogue callbacks

    def set_user_interface(self, show_message=None, ask_yes_no=None, ask_text=None):
        """Installs Python callables for the control's dialogues; None keeps that kind silent.

        show_message(title, text); ask_yes_no(title, text) -> bool;
        ask_text(title, prompt, initial) -> str, or None for Cancel.
        """
        lib = self._lib

        def show(_, title, text):
            show_message(title.decode(), text.decode())

        def yes_no(_, title, text):
            return 1 if ask_yes_no(title.decode(), text.decode()) else 0

        def text_box(_, title, prompt, initial, reply):
            answer = ask_text(title.decode(), prompt.decode(), initial.decode())
            if answer is None:
                return 0
            return 1 if lib.karvex_string_set(reply, _utf8("reply", answer)) == 0 else 0

        callbacks = (SHOW_MESSAGE(show) if show_message else SHOW_MESSAGE(),
                     ASK_YES_NO(yes_no) if ask_yes_no else ASK_YES_NO(),
                     ASK_TEXT(text_box) if ask_text else ASK_TEXT())
        self._check(lib.karvex_set_user_interface(self._handle(), *callbacks, None))
        self._callbacks = callbacks  # the C side keeps the pointers: keep them alive

    # ----- methods

    def ShowFiscalForm(self, ShowModal=0, InHandle=0):
        return self._check(self._lib.karvex_ShowFiscalForm(self._handle(), _int32("ShowModal", ShowModal),
                                                           _int32("InHandle", InHandle)))

    def LoadFiscalForm(self):
        return self._check(self._lib.karvex_LoadFiscalForm(self._handle()))

    def UnloadFicalForm(self, InHandle=0):
        return self._check(self._lib.karvex_UnloadFicalForm(self._handle(), _int32("InHandle", InHandle)))

    def FiscalOnline(self):
        return self._check(self._lib.karvex_FiscalOnline(self._handle()))

    def FiscalGetInvNum(self, InvNum=""):
        """-> (code, InvNum); InvNum is the one passed in when the call fails."""
        with _Strings(self._lib, [("InvNum", InvNum)]) as s:
            code = self._check(self._lib.karvex_FiscalGetInvNum(self._handle(), *s.handles))
            return (code, s.values()[0])

    def FiscalMakeInv(self, CommandNum, FhNumber, InvMode, OInvNum, PayUnit, SalesNum, SalesName, SalesAmount,
                      SalesPrice, SalesSum, TaxIndex, sale_id=None):
        """Issues (CommandNum 52) or returns (53) an invoice; the goods texts hold SalesNum fixed-width slices.

        Texts that would reach the processor changed, or that it could not hand back in the invoice's print
        data, are refused before anything is sent: 98 for a payer character without a GBK form, 98 to 101 for
        a payer or name with a control character, "€" or a GBK character whose second byte is below 0xA0,
        99 for a name character without a GBK form; 105 for a returned number (53) that is not digits only;
        165 / 166 for a price / amount below 0.01 after rounding.

        sale_id is the host's own sale number (None: none), kept with the request in the sales journal: a
        second call with a sale id whose invoice was issued sends nothing and returns 0 with the recorded
        reply; 138 when the sale id was used for other content; 143 while the outcome of a sale whose answer
        was lost is not known (the processor could not be asked): calling again with the same sale id is
        always safe."""
        args = (_int32("CommandNum", CommandNum), _int32("FhNumber", FhNumber), _int32("InvMode", InvMode),
                _utf8("OInvNum", OInvNum), _utf8("PayUnit", PayUnit), _int32("SalesNum", SalesNum),
                _utf8("SalesName", SalesName), _utf8("SalesAmount", SalesAmount), _utf8("SalesPrice", SalesPrice),
                _utf8("SalesSum", SalesSum), _utf8("TaxIndex", TaxIndex))
        if sale_id is None:
            return self._check(self._lib.karvex_FiscalMakeInv(self._handle(), *args))
        return self._check(self._lib.karvex_FiscalMakeInvSale(self._handle(), _utf8("sale_id", sale_id), *args))

    def make_inv(self, CommandNum, FhNumber, InvMode, OInvNum, PayUnit, goods=None, *texts, sale_id=None, **named):
        """Issues (52) or returns (53) an invoice whose goods are a list of `Goods` (or dicts with the same
        keys): make_inv(52, 1, 0, "", "某某公司", [Goods("大米", "2.5", "4", "10", 1)], sale_id="POS-7").
        Quantities, prices and amounts reach the processor exactly as written (hundredths and fen as
        integers); the same sale sends the same frame as through FiscalMakeInv, with the same codes, plus 224
        for a tax index outside 1 to 9. The older form, FiscalMakeInv's own arguments with SalesNum and the
        fixed-width texts in place of the list, still works."""
        if not isinstance(goods, (list, tuple)):
            given = () if goods is None else (goods,)
            return self.FiscalMakeInv(CommandNum, FhNumber, InvMode, OInvNum, PayUnit, *given, *texts,
                                      sale_id=sale_id, **named)
        if texts or named:
            raise TypeError("make_inv takes a list of goods or the fixed-width texts, not both")
        lines = [_goods_line(i, line) for i, line in enumerate(goods)]
        array = (_CGoods * max(1, len(lines)))(*lines)
        return self._check(self._lib.karvex_FiscalMakeInvGoods(
            self._handle(), None if sale_id is None else _utf8("sale_id", sale_id), _int32("CommandNum", CommandNum),
            _int32("FhNumber", FhNumber), _int32("InvMode", InvMode), _utf8("OInvNum", OInvNum),
            _utf8("PayUnit", PayUnit), array, _int32("goods", len(lines))))

    def get_sale(self, sale_id=""):
        """-> (code, state, InvNum, TaxCode, DateTime) of the sale sale_id ("": the last sale) in the journal.

        state is "sent", "answered", "in-doubt", "issued" or "not-issued"; InvNum is the invoice number of an
        answered or issued sale; the texts are empty until known.
        139 when no sale has this sale id. Nothing is sent."""
        with _Strings(self._lib, [(n, "") for n in ("state", "InvNum", "TaxCode", "DateTime")]) as s:
            code = self._check(self._lib.karvex_FiscalGetSale(self._handle(), _utf8("sale_id", sale_id), *s.handles))
            return (code, *s.values())

    FiscalGetSale = get_sale

    def FiscalReturnInvInfo(self):
        """-> (code, MachineNum, UserName, TaxNumber, TaxCode, DateTime)"""
        names = ["MachineNum", "UserName", "TaxNumber", "TaxCode", "DateTime"]
        with _Strings(self._lib, [(n, "") for n in names]) as s:
            code = self._check(self._lib.karvex_FiscalReturnInvInfo(self._handle(), *s.handles))
            return (code, *s.values())

    def FiscalInvalidateInv(self, InvNum):
        """-> (code, InvNum): the number in its 10-digit form, or "" when it is not a number."""
        with _Strings(self._lib, [("InvNum", InvNum)]) as s:
            code = self._check(self._lib.karvex_FiscalInvalidateInv(self._handle(), *s.handles))
            return (code, s.values()[0])

    _PRINT_TEXTS = ["InvNum", "OInvNum", "MachineNumber", "SaleUnit", "PayUnit", "TaxNumber", "TaxCode",
                    "PrintDate", "SalesName", "SalesAmount", "SalesPrice", "SalesSum"]

    def GetPrintInv(self, CommandNum, InvNum=""):
        """CommandNum 177: the last invoice; 66: invoice InvNum. -> (code, dict of the outputs incl. InvType).

        The goods outputs hold six fixed-width slices (20 bytes of GBK per name, 11 characters per number).
        """
        texts = [(n, InvNum if n == "InvNum" else "") for n in self._PRINT_TEXTS]
        inv_type = ctypes.c_int32(0)
        with _Strings(self._lib, texts) as s:
            code = self._check(self._lib.karvex_GetPrintInv(self._handle(), _int32("CommandNum", CommandNum),
                                                            *s.handles, ctypes.byref(inv_type)))
            out = dict(zip(self._PRINT_TEXTS, s.values()))
        out["InvType"] = inv_type.value
        return (code, out)

    def GetInvUseSum(self, InvNum):
        """-> (code, dict) with BeginDate, EndDate, BeginInvNum, EndInvNum, InvalidateInv, NormalInv, NormalSum,
        ReturnInv, ReturnSum, InvCode, TaxNumber, UserName, MachineNumber."""
        before = ["BeginDate", "EndDate", "BeginInvNum", "EndInvNum"]
        after = ["InvCode", "TaxNumber", "UserName", "MachineNumber"]
        voided, normal, returned = ctypes.c_int32(0), ctypes.c_int32(0), ctypes.c_int32(0)
        normal_sum, return_sum = ctypes.c_double(0), ctypes.c_double(0)
        with _Strings(self._lib, [(n, "") for n in before + after]) as s:
            h = s.handles
            code = self._check(self._lib.karvex_GetInvUseSum(
                self._handle(), _utf8("InvNum", InvNum), *h[:4], ctypes.byref(voided), ctypes.byref(normal),
                ctypes.byref(normal_sum), ctypes.byref(returned), ctypes.byref(return_sum), *h[4:]))
            out = dict(zip(before + after, s.values()))
        out.update(InvalidateInv=voided.value, NormalInv=normal.value, NormalSum=normal_sum.value,
                   ReturnInv=returned.value, ReturnSum=return_sum.value)
        return (code, out)

    def FiscalInstallInv(self, ShowModal=0, InHandle=0):
        return self._check(self._lib.karvex_FiscalInstallInv(self._handle(), _int32("ShowModal", ShowModal),
                                                             _int32("InHandle", InHandle)))

    # ----- properties

    @property
    def Status(self):
        """The result code of the command under way (4128) or last finished."""
        return self._check(self._lib.karvex_Status(self._handle()))

    @property
    def Description(self):
        """ "0x" + the code in hexadecimal + "：" + its message, e.g. "0x0：执行成功"."""
        with _Strings(self._lib, [("Description", "")]) as s:
            self._check(self._lib.karvex_Description(self._handle(), s.handles[0]))
            return s.values()[0]


def fixed_slices(values, width, encoding=None):
    """Joins per-item texts into one fixed-width text: each value padded on the right with blanks to `width`
    (counted in bytes of `encoding` when given, e.g. "gbk" for the 20-byte goods names; else in characters)."""
    out = []
    for v in values:
        v = str(v)
        size = len(v.encode(encoding)) if encoding else len(v)
        if size > width:
            raise ValueError("%r is wider than %d" % (v, width))
        out.append(v + " " * (width - size))
    return "".join(out)
