"""Ed25519 keys and detached signatures for ZE-Radio updates, through the
system's libsodium (the library the player checks them with).

Key files hold one line of base64: the secret key file the 32-byte seed,
the public key file the 32-byte public key. A signature file holds the
base64 of the 64-byte signature over a file's exact bytes.
"""

import base64
import ctypes
import ctypes.util
import os

SEED_BYTES = 32
PUBLIC_BYTES = 32
SECRET_BYTES = 64
SIGNATURE_BYTES = 64


class SigningError(Exception):
    pass


def _sodium():
    name = ctypes.util.find_library("sodium") or "libsodium.so.23"
    try:
        lib = ctypes.CDLL(name)
    except OSError as error:
        raise SigningError("libsodium is not installed (%s)" % error)
    if lib.sodium_init() < 0:
        raise SigningError("libsodium cannot be initialised")
    return lib


def _decode(text, size, what):
    try:
        raw = base64.b64decode(text.strip(), validate=True)
    except ValueError:
        raw = b""
    if len(raw) != size:
        raise SigningError("%s is not the base64 of %d bytes" % (what, size))
    return raw


def new_seed():
    return os.urandom(SEED_BYTES)


def _keypair(seed):
    lib = _sodium()
    public = ctypes.create_string_buffer(PUBLIC_BYTES)
    secret = ctypes.create_string_buffer(SECRET_BYTES)
    if lib.crypto_sign_seed_keypair(public, secret, seed) != 0:
        raise SigningError("key pair could not be made")
    return public.raw, secret


def public_key(seed):
    return _keypair(seed)[0]


def read_secret_key(path):
    with open(path) as f:
        return _decode(f.read(), SEED_BYTES, path)


def sign(seed, data):
    """The base64 text of the detached signature of `data`, with a newline."""
    lib = _sodium()
    _, secret = _keypair(seed)
    signature = ctypes.create_string_buffer(SIGNATURE_BYTES)
    if lib.crypto_sign_detached(signature, None, data, ctypes.c_ulonglong(len(data)), secret) != 0:
        raise SigningError("signing failed")
    return base64.b64encode(signature.raw).decode() + "\n"


def encode(raw):
    return base64.b64encode(raw).decode() + "\n"
