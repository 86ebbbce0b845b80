"""The guide's Ruby example, with its language's common XML-RPC client from Debian."""

import guide
import kit


class Ruby(guide.Example):
    heading, language, file_name = "Ruby", "ruby", "example.rb"
    packages = ["ruby", "ruby-xmlrpc"]

    def command(self):
        return ["ruby", self.file_name]


if __name__ == "__main__":
    kit.main()
