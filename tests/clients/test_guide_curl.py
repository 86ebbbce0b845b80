"""The guide's curl lines: each request is what the guide says it is."""

import guide
import kit
import rs232c_client
from rs232c_client import wire


class Curl(guide.Example):
    heading, language, file_name = "curl", "sh", "example.sh"
    packages = ["curl"]

    def command(self):
        return ["bash", self.file_name]

    def test_the_example_prints_what_the_guide_says(self):
        answers = []
        for response in self.run_example().split("<?xml")[1:]:
            try:
                answers.append(wire.response_value(("<?xml" + response).encode()))
            except rs232c_client.Fault as fault:
                answers.append(fault.faultCode)
        self.assertEqual(answers[:2], [1, 1])
        self.assertEqual(rs232c_client.to_bytes(answers[2]), guide.REPLY)
        self.assertEqual(answers[3:], [-501])


if __name__ == "__main__":
    kit.main()
