window.benchConfig = {};
