"""The retrieval cases of test_retrieval.py with DataScrambling on: headers and bodies go out
scrambled, attachment lists and attachment bodies in clear."""
import unittest

from test_retrieval import RetrievalCases


class RetrievalScrambled(RetrievalCases, unittest.TestCase):
    SCRAMBLING = True


if __name__ == "__main__":
    unittest.main()
