"""The guide's Perl example, with its language's common XML-RPC client from Debian."""

import guide
import kit


class Perl(guide.Example):
    heading, language, file_name = "Perl", "perl", "example.pl"
    packages = ["libxmlrpc-lite-perl"]

    def command(self):
        return ["perl", self.file_name]


if __name__ == "__main__":
    kit.main()
