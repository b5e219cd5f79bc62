"""Threads: many at once give the results of one, a long conversion lets
other threads run, and Ctrl-C stops it."""
import _thread
import signal
import sys
import threading
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import pytest

import tobble
from conftest import FILTER_NAMES, random_text

THREADS = 8


def work(filter_name, texts):
    """Every way into the package on each text: convert, convert_bytes in
    UTF-16BE, and a Converter in 64 KiB pieces."""
    results = []
    for text in texts:
        data = text.encode("utf-16-be", "surrogatepass")
        converter = tobble.Converter(filter_name, "utf-16be")
        pieces = [converter.feed(data[i : i + 65536]) for i in range(0, len(data), 65536)]
        results.append(
            (
                tobble.convert(filter_name, text),
                tobble.convert_bytes(filter_name, data, "utf-16be"),
                b"".join(pieces) + converter.finish(),
            )
        )
    return results


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
def test_eight_threads_give_the_results_of_one(filter_name, rng):
    # Above the size where the GIL is released, and small ones below it.
    texts = [random_text(rng, n) for n in (5, 3000, 60_000, 200_000)]
    alone = work(filter_name, texts)
    with ThreadPoolExecutor(THREADS) as pool:
        futures = [pool.submit(work, filter_name, texts[i % 4 :] + texts[: i % 4])
                   for i in range(THREADS)]
        for i, future in enumerate(futures):
            assert future.result() == alone[i % 4 :] + alone[: i % 4]


def test_one_converter_refuses_a_second_thread_while_busy():
    converter = tobble.Converter("tobbleJ")
    data = ("\u3042" * (8 << 20)).encode("utf-8")
    errors = []

    def feed():
        try:
            converter.feed(data)
        except RuntimeError as error:
            errors.append(error)

    threads = [threading.Thread(target=feed) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # However the calls interleaved, each either ran whole or was refused:
    # the output counts every byte of each piece that ran.
    ran = 4 - len(errors)
    assert ran >= 1
    assert converter.bytes_in == ran * len(data)
    assert all("another thread" in str(e) for e in errors)


@pytest.mark.parametrize("call", ["convert", "convert_bytes"])
def test_long_conversion_releases_the_gil(call):
    """While one thread converts 16 Mi characters, this one keeps running:
    its longest pause stays far below the conversion's time."""
    text = "\u3042\u30a2\u4e00 abc " * (2 << 20)
    data = text.encode("utf-8")
    done = threading.Event()
    spans = []

    def convert():
        start = time.perf_counter()
        if call == "convert":
            tobble.convert("tobbleJ", text)
        else:
            tobble.convert_bytes("tobbleJ", data)
        spans.append(time.perf_counter() - start)
        done.set()

    worker = threading.Thread(target=convert)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    last = time.perf_counter()
    longest = 0.0
    worker.start()
    while not done.is_set():
        now = time.perf_counter()
        longest = max(longest, now - last)
        last = now
    worker.join()
    sys.setswitchinterval(interval)
    assert longest < spans[0] / 2, (longest, spans[0])


# Calls on 64 Mi characters "\xe9" (text) or their UTF-8 (data), whose
# result, 6 bytes a character ("\\u00e9"), is far larger than anything else
# they allocate.
INTERRUPTED_CALLS = {
    "convert": lambda text, data: tobble.convert("tobbleJ", text),
    "convert_bytes": lambda text, data: tobble.convert_bytes("tobbleJ", data),
    "Converter": lambda text, data: tobble.Converter("tobbleJ").feed(data),
}


def interrupted_peak(call, text, data):
    """The memory that one call, interrupted from another thread as soon as
    it lets go of the GIL, allocated before it ended; None when the
    interrupt reached this thread only after the call returned (the other
    thread ran late), which tells nothing."""
    started = threading.Event()

    def interrupt():
        started.wait()
        _thread.interrupt_main()

    interval = sys.getswitchinterval()
    interrupter = threading.Thread(target=interrupt)
    returned = False
    tracemalloc.start()
    try:
        sys.setswitchinterval(100)
        interrupter.start()
        try:
            started.set()
            INTERRUPTED_CALLS[call](text, data)
            returned = True
            interrupter.join()
            # An interrupt from another thread after the call's last signal
            # check may stay unseen here for as long as no switch is asked
            # for: one from this thread brings it in, so that none is left
            # over for later code.
            _thread.interrupt_main()
            for _ in range(1000):
                pass
        except KeyboardInterrupt:
            pass
    finally:
        sys.setswitchinterval(interval)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        interrupter.join()
    return None if returned else peak


@pytest.mark.parametrize("call", list(INTERRUPTED_CALLS))
def test_ctrl_c_stops_a_long_conversion(call):
    """The interrupt comes from another thread as soon as the call lets go
    of the GIL (this thread keeps it until then: no switch is forced). The
    call must end with KeyboardInterrupt before it allocated its result. On
    a loaded machine the other thread may not run before the call is done,
    which proves nothing either way: then the call is tried again."""
    text = "\xe9" * (64 << 20)
    data = text.encode()
    peaks = []
    # Python's own handler, whatever this process inherited: started with
    # SIGINT ignored (a background job of a shell without job control),
    # Python installs none, and an interrupt then does nothing.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        for _ in range(5):
            peaks.append(interrupted_peak(call, text, data))
            if peaks[-1] is not None and peaks[-1] < 3 * len(text):
                return
    finally:
        signal.signal(signal.SIGINT, previous)
    pytest.fail(f"every call ran to its end (bytes allocated, None where it returned: {peaks})")


@pytest.mark.parametrize("call", ["convert", "convert_bytes"])
def test_signal_handlers_may_convert_during_a_long_conversion(call, rng):
    """The signal checks of a long call run Python's handlers in its
    middle; a handler that converts too leaves the call's result whole."""
    text = random_text(rng, 100_000) * 160
    data = text.encode("utf-16-le", "surrogatepass")
    def convert():
        if call == "convert":
            return tobble.convert("untobbleJ", text)
        return tobble.convert_bytes("untobbleJ", data, "utf-16le")

    expected = convert()
    small = [random_text(rng, n) for n in (10, 3000, 40_000)]
    small_expected = [tobble.convert("URLencode", t) for t in small]
    small_bytes = [t.encode("utf-16-le", "surrogatepass") for t in small]
    handled = []

    def handler(signum, frame):
        handled.append([tobble.convert("URLencode", t) for t in small] == small_expected and
                       [tobble.convert_bytes("URLencode", d, "utf-16le") for d in small_bytes] ==
                       [t.encode("utf-16-le", "surrogatepass") for t in small_expected])

    done = threading.Event()

    def send():
        while not done.wait(0.01):
            _thread.interrupt_main(signal.SIGUSR1)

    previous = signal.signal(signal.SIGUSR1, handler)
    sender = threading.Thread(target=send)
    try:
        sender.start()
        result = convert()
    finally:
        done.set()
        sender.join()
        signal.signal(signal.SIGUSR1, previous)
    assert handled and all(handled)
    assert result == expected
