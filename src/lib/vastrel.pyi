# Type stub for the vastrel extension module: what editors and type checkers
# see. It changes nothing at run time.
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["Gate", "Circuit", "set_num_threads"]

@final
class Gate:
    """Python wrapper for the Gate enum"""

    @staticmethod
    def x(target: SupportsIndex) -> Gate: ...
    @staticmethod
    def h(target: SupportsIndex) -> Gate: ...
    @staticmethod
    def rz(target: SupportsIndex, theta: SupportsFloat | SupportsIndex) -> Gate: ...
    @staticmethod
    def crz(
        control: SupportsIndex, target: SupportsIndex, theta: SupportsFloat | SupportsIndex
    ) -> Gate: ...
    @staticmethod
    def cnot(control: SupportsIndex, target: SupportsIndex) -> Gate: ...

@final
class Circuit:
    """Python wrapper for the Circuit struct"""

    def __new__(cls, gates: list[Gate]) -> Circuit: ...
    def run(self, num_qubits: SupportsIndex) -> npt.NDArray[np.complex64]:
        """The final state of 2**num_qubits amplitudes, starting from |0...0>."""

def set_num_threads(num_threads: SupportsIndex) -> None:
    """Set the number of threads for Rayon"""
