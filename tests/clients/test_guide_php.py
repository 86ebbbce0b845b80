"""The guide's PHP example, with its language's common XML-RPC client from Debian."""

import guide
import kit


class PHP(guide.Example):
    heading, language, file_name = "PHP", "php", "example.php"
    packages = ["php-cli", "php-xmlrpc"]

    def command(self):
        return ["php", self.file_name]


if __name__ == "__main__":
    kit.main()
