"""libtobble's C interface (include/tobble.h) through ctypes: the one binding
the test scripts share (python_check.py, cli_test.py)."""
import ctypes

# tobble_status, tobble_encoding and the stream flags, as tobble.h numbers them.
OK = 0
ERROR_INVALID_INPUT = 5
UTF8 = 0
REPLACE = 1

# The stream's write callback: (context, bytes, n) -> nonzero on failure.
WRITE_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint8),
                            ctypes.c_size_t)

_SIGNATURES = {
    'tobble_filter_find': (ctypes.c_void_p, [ctypes.c_char_p]),
    'tobble_output_bound': (ctypes.c_size_t, [ctypes.c_void_p, ctypes.c_size_t]),
    'tobble_convert': (ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                      ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                                      ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t)]),
    'tobble_stream_create': (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint,
                                            WRITE_FN, ctypes.c_void_p,
                                            ctypes.POINTER(ctypes.c_void_p)]),
    'tobble_stream_feed': (ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]),
    'tobble_stream_finish': (ctypes.c_int, [ctypes.c_void_p]),
    'tobble_stream_destroy': (None, [ctypes.c_void_p]),
    'tobble_stream_error_offset': (ctypes.c_uint64, [ctypes.c_void_p]),
    'tobble_stream_replaced_input': (ctypes.c_uint64, [ctypes.c_void_p]),
}


class Library:
    """The shared library at `path`, its functions declared."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        for name, (restype, argtypes) in _SIGNATURES.items():
            function = getattr(self.lib, name)
            function.restype = restype
            function.argtypes = argtypes

    def find(self, function):
        """The filter named `function`; fails when there is none."""
        filter_ = self.lib.tobble_filter_find(function.encode())
        assert filter_, function
        return filter_

    def convert_units(self, function, units):
        """The whole-text conversion of UTF-16LE bytes, as UTF-16LE bytes."""
        filter_ = self.find(function)
        n = len(units) // 2
        bound = self.lib.tobble_output_bound(filter_, n)
        source = ctypes.create_string_buffer(units, len(units) + 2)
        out = ctypes.create_string_buffer(bound * 2)
        written = ctypes.c_size_t()
        status = self.lib.tobble_convert(filter_, source, n, out, bound, 1, None,
                                         ctypes.byref(written))
        assert status == OK, status
        return out.raw[:written.value * 2]

    def convert(self, function, text):
        """The whole-text conversion of a str, a surrogate code point as the
        unit of its own value."""
        units = self.convert_units(function, text.encode('utf-16-le', 'surrogatepass'))
        return units.decode('utf-16-le', 'surrogatepass')

    def stream(self, function, data, flags, piece):
        """A UTF-8 stream's output for data fed in pieces of `piece` bytes:
        (status, output bytes, error offset, U+FFFD written for invalid
        input)."""
        chunks = []
        write = WRITE_FN(lambda context, bytes_, n: chunks.append(ctypes.string_at(bytes_, n))
                         or 0)
        handle = ctypes.c_void_p()
        assert self.lib.tobble_stream_create(self.find(function), UTF8, flags, write, None,
                                             ctypes.byref(handle)) == OK
        status = OK
        for at in range(0, len(data), piece):
            status = self.lib.tobble_stream_feed(handle, data[at:at + piece],
                                                 len(data[at:at + piece]))
            if status != OK:
                break
        if status == OK:
            status = self.lib.tobble_stream_finish(handle)
        result = (status, b''.join(chunks), self.lib.tobble_stream_error_offset(handle),
                  self.lib.tobble_stream_replaced_input(handle))
        self.lib.tobble_stream_destroy(handle)
        return result
