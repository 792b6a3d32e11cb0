"""A private world for the package's tests: the test variant of the C
interface (KESTREL_C_LIBRARY), its own socket folder and short spans."""

import os
import tempfile

import pytest

import kestrel


@pytest.fixture(scope="session")
def lib():
    root = tempfile.mkdtemp(prefix="kestrel-python-test-")
    os.mkdir(os.path.join(root, "rpc"), 0o700)
    os.environ.update({"KESTREL_RPC_DIR": os.path.join(root, "rpc"), "KESTREL_TEST_RETRY_MS": "1",
                       "KESTREL_TEST_TIMER_PERIOD_MS": "20", "KESTREL_TEST_HOSTPROC_IDLE_MS": "300"})
    return kestrel.Library()


@pytest.fixture
def driver():
    return os.path.join(os.environ["KESTREL_TEST_DRIVERS_DIR"], "libkestrel_testdriver.so")
