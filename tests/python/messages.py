"""The texts callers match on, once for every test (docs/compatibility.md)."""

GUARD = "max_flex cannot be greater than the length of the sequences."
JOIN_FAILURE = "called `Result::unwrap()` on an `Err` value: Any { .. }"
OUT_OF_RANGE = "out of range integral type conversion attempted"
STR_VEC = "Can't extract `str` to `Vec`"
API_CALL_FAILED = "Python API call failed"
UNCAUGHT = "uncaught panic at ffi boundary"
SPAWN_FAILURE = 'failed to spawn thread: Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }'
NO_EXCEPTION_SET = "attempted to fetch exception but none was set"
MARK = "\u25a0".encode()


def banner(threads):
    return b"    Aligning with %d threads: " % threads


def flush_failure(code, kind, text):
    return f'called `Result::unwrap()` on an `Err` value: Os {{ code: {code}, kind: {kind}, message: "{text}" }}'


def line_end_failure(text, code):
    return f"failed printing to stdout: {text} (os error {code})"
