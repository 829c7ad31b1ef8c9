"""The seeded generator the golden scenario and the Python benchmarks draw from.

Pure Python on integers and IEEE doubles only, so every interpreter and processor
gives the same sequence.
"""

MASK64 = (1 << 64) - 1


class Rng:
    """64-bit linear congruential generator; floats from its top 24 bits, exactly."""

    def __init__(self, seed):
        self.state = seed & MASK64

    def next_int(self):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) & MASK64
        return self.state >> 33

    def below(self, n):
        return self.next_int() % n

    def unit(self):
        """A double in [-1, 1), a multiple of 2**-23."""
        return (self.next_int() >> 7) / 8388608.0 - 1.0
